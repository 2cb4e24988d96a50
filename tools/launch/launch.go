// SPDX-License-Identifier: MIT
package main

import ("errors"; "os"; "os/exec"; "syscall")

func main() {
	cmd := exec.Command(os.Args[1], os.Args[2:]...)
	cmd.Stdin, cmd.Stdout, cmd.Stderr = os.Stdin, os.Stdout, os.Stderr
	err := cmd.Run()
	var ee *exec.ExitError
	if errors.As(err, &ee) && ee.Sys().(syscall.WaitStatus).Signaled() {
		os.Exit(128 + int(ee.Sys().(syscall.WaitStatus).Signal())) // Go cannot re-raise it reliably
	} else if errors.As(err, &ee) {
		os.Exit(ee.ExitCode())
	} else if err != nil {
		os.Stderr.WriteString(err.Error() + "\n"); os.Exit(127)
	}
}

// SPDX-License-Identifier: MIT
use std::os::unix::process::ExitStatusExt;
use std::process::{exit, Command};
fn main() {
    let a: Vec<String> = std::env::args().skip(1).collect();
    let s = Command::new(&a[0]).args(&a[1..]).status().unwrap_or_else(|e| { eprintln!("{}: {}", a[0], e); exit(127) });
    exit(s.code().unwrap_or_else(|| 128 + s.signal().unwrap())); // std cannot re-raise: the shell's 128+N
}

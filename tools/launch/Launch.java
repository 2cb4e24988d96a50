// SPDX-License-Identifier: MIT
public class Launch {
    public static void main(String[] args) throws Exception {
        System.exit(new ProcessBuilder(args).inheritIO().start().waitFor());
    }
}

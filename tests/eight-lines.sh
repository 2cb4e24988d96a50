#!/bin/sh
# SPDX-License-Identifier: MIT
# A probe that only prints what the real one prints on a plain run.
printf ' signal %s is %s \n' 1 blocked 2 'not blocked' 3 'not blocked' 4 blocked \
	1 'not blocked' 2 blocked 3 'not blocked' 4 'not blocked'

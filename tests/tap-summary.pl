#!/usr/bin/perl
# SPDX-License-Identifier: MIT
# Reads the TAP that a command writes, as a test harness does, and sums up
# on one line what the harness made of it.
use strict;
use warnings;
use TAP::Parser;

my $parser = TAP::Parser->new({exec => [@ARGV]});
my @failed;
while (my $result = $parser->next) {
	push @failed, $result->description =~ s/^- //r if $result->is_test && !$result->is_ok;
}
printf "version %s, plan %s, ran %d, skipped %d, failed: %s, parse errors: %s\n",
	$parser->version, $parser->plan, $parser->tests_run, scalar $parser->skipped,
	join(' ', @failed) || 'none', join('; ', $parser->parse_errors) || 'none';

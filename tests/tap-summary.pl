#!/usr/bin/perl
# SPDX-License-Identifier: MIT
# Reads a TAP report from a file, as a test harness does, and sums up on one
# line what the harness made of it.
use strict;
use warnings;
use TAP::Parser;

open my $in, '<', $ARGV[0] or die "$ARGV[0]: $!\n";
my $parser = TAP::Parser->new({tap => do { local $/; <$in> }});
my (@failed, @todo_passed);
while (my $result = $parser->next) {
	next unless $result->is_test;
	my $name = $result->description =~ s/^- //r;
	push @failed, $name if !$result->is_ok;
	push @todo_passed, $name if $result->todo_passed;
}
printf "version %s, plan %s, ran %d, skipped %d, failed: %s, todo passed: %s, parse errors: %s\n",
	$parser->version, $parser->plan, $parser->tests_run, scalar $parser->skipped,
	join(' ', @failed) || 'none', join(' ', @todo_passed) || 'none',
	join('; ', $parser->parse_errors) || 'none';

#!/usr/bin/perl
# Runs a command as a terminal window's job-control shell runs a job (its own
# process group, the terminal's foreground group, so that Ctrl+C, Ctrl+\ and
# Ctrl+Z reach it alone and can stop it) and writes its exit status (128 +
# the signal's number when a signal ended it) to STATUS_FILE, however the
# terminal fares: the window's shell would die with its window, and the status
# with it.  When the terminal goes away, its hang-up reaches the job's group
# as it would from that shell.
# Usage: keep_status.pl STATUS_FILE COMMAND [ARGUMENT...]
use strict;
use warnings;
use POSIX qw(setpgid tcsetpgrp);

my ($status_file, @command) = @ARGV;
die "usage: keep_status.pl STATUS_FILE COMMAND [ARGUMENT...]\n" unless @command;
my $terminal = fileno(STDIN);
# Handlers of its own, which the command does not inherit: the keeper lives
# through what is meant for the command.
$SIG{$_} = sub { } for qw(HUP INT QUIT TSTP);

my $pid = fork() // die "keep_status.pl: fork: $!\n";
if ($pid == 0) {
    $SIG{TTOU} = 'IGNORE';
    setpgid(0, 0);
    tcsetpgrp($terminal, $$);
    $SIG{TTOU} = 'DEFAULT';
    exec { $command[0] } @command;
    exit 127;
}
$SIG{TTOU} = 'IGNORE';
setpgid($pid, $pid);
tcsetpgrp($terminal, $pid);
my $status;
while (1) {
    my $done = waitpid($pid, 0);
    if ($done == $pid) {
        $status = ($? & 127) ? 128 + ($? & 127) : $? >> 8;
        last;
    }
    die "keep_status.pl: waitpid: $!\n" unless $!{EINTR};
}
tcsetpgrp($terminal, getpgrp());
open(my $out, '>', "$status_file.part") or die "keep_status.pl: $status_file.part: $!\n";
print $out "$status\n";
close($out) or die "keep_status.pl: $status_file.part: $!\n";
rename("$status_file.part", $status_file) or die "keep_status.pl: $status_file: $!\n";
exit $status;

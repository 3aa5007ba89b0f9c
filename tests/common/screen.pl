#!/usr/bin/perl
# Compares a console screen, as `tmux capture-pane -p -e -N` gives it, cell by
# cell with what the program must show: the character and the console text
# attribute (Windows colour bits) of each of the 80 by 40 cells.
#
# A pane of another size is a view of the 80 by 40 screen: it must show the
# screen from some cell on, as much as fits, with blanks beyond the screen's
# edge; the expectations are still written in screen cells.
#
# Usage: screen.pl EXPECTATION_FILE < capture
# Expectation lines (columns and rows 1-based, attributes hex, applied in order):
#   fill ATTR                              every cell a space in ATTR
#   box L T R B BODY FRAME double|single   a window: frame cells in FRAME, the rest spaces in BODY
#   text COL ROW TEXT                      characters from (COL, ROW); attributes as they are
#   any L T R B                            cells the program does not fix (not compared)
#   whole L T R B                          cells the view must show, all of them
# Exit status 0 when every compared cell matches; otherwise 1, with the
# differences and the screen as captured.
use strict;
use warnings;

my ($columns, $rows) = (80, 40);
binmode STDIN, ':utf8';
binmode STDOUT, ':utf8';
binmode STDERR, ':utf8';

# ANSI colour numbers (red 1, green 2, blue 4) to console colour bits (blue 1, green 2, red 4).
sub console_colour {
    my ($ansi) = @_;
    my $bright = $ansi & 8;
    my $a = $ansi & 7;
    return $bright | (($a & 1) ? 4 : 0) | ($a & 2) | (($a & 4) ? 1 : 0);
}

# --- the captured screen ---------------------------------------------------
my (@got_char, @got_attr);
{
    my ($fg, $bg, $bold) = (-1, -1, 0);    # -1: the terminal's default
    my $row = 0;
    while (my $line = <STDIN>) {
        chomp $line;
        my $col = 0;
        while (length $line) {
            if ($line =~ s/^\e\[([0-9;]*)m//) {
                my @p = split /;/, ($1 eq '' ? '0' : $1);
                while (@p) {
                    my $p = shift @p;
                    if    ($p == 0)                { ($fg, $bg, $bold) = (-1, -1, 0) }
                    elsif ($p == 1)                { $bold = 1 }
                    elsif ($p == 22)               { $bold = 0 }
                    elsif ($p >= 30 && $p <= 37)   { $fg = $p - 30 }
                    elsif ($p == 39)               { $fg = -1 }
                    elsif ($p >= 40 && $p <= 47)   { $bg = $p - 40 }
                    elsif ($p == 49)               { $bg = -1 }
                    elsif ($p >= 90 && $p <= 97)   { $fg = $p - 90 + 8 }
                    elsif ($p >= 100 && $p <= 107) { $bg = $p - 100 + 8 }
                    elsif (($p == 38 || $p == 48) && @p >= 2 && $p[0] == 5) {
                        shift @p;
                        my $n = shift @p;
                        $n = $n < 16 ? $n : -1;
                        if ($p == 38) { $fg = $n } else { $bg = $n }
                    }
                }
                next;
            }
            if ($line =~ s/^\e[^a-zA-Z]*[a-zA-Z]//) {
                next;    # other sequences carry no cell
            }
            my $ch = substr($line, 0, 1, '');
            {
                my $f = $fg < 0 ? 7 : $fg;
                $f |= 8 if $bold && $f < 8;
                my $b = $bg < 0 ? 0 : $bg;
                $got_char[$row][$col] = $ch;
                $got_attr[$row][$col] = console_colour($f) | (console_colour($b) << 4);
            }
            $col++;
        }
        $row++;
    }
}

# --- what must be there ----------------------------------------------------
my (@want_char, @want_attr, @checked, @whole);
my %frames = (
    double => ["\x{2554}", "\x{2557}", "\x{255A}", "\x{255D}", "\x{2550}", "\x{2551}"],
    single => ["\x{250C}", "\x{2510}", "\x{2514}", "\x{2518}", "\x{2500}", "\x{2502}"],
);

sub set_cell {
    my ($col, $row, $ch, $attr) = @_;
    return if $col < 1 || $col > $columns || $row < 1 || $row > $rows;
    $want_char[$row - 1][$col - 1] = $ch;
    $want_attr[$row - 1][$col - 1] = $attr if defined $attr;
    $checked[$row - 1][$col - 1] = 1;
}

open my $spec, '<:utf8', $ARGV[0] or die "screen.pl: cannot open $ARGV[0]: $!\n";
while (my $line = <$spec>) {
    chomp $line;
    next if $line =~ /^\s*(#|$)/;
    if ($line =~ /^fill ([0-9A-Fa-f]{2})$/) {
        for my $r (1 .. $rows) { set_cell($_, $r, ' ', hex $1) for 1 .. $columns }
    } elsif ($line =~ /^box (\d+) (\d+) (\d+) (\d+) ([0-9A-Fa-f]{2}) ([0-9A-Fa-f]{2}) (double|single)$/) {
        my ($l, $t, $r, $b, $body, $frame, $style) = ($1, $2, $3, $4, hex $5, hex $6, $7);
        my ($tl, $tr, $bl, $br, $h, $v) = @{ $frames{$style} };
        for my $y ($t .. $b) {
            for my $x ($l .. $r) {
                my $ch = ' ';
                my $edge_x = $x == $l || $x == $r;
                my $edge_y = $y == $t || $y == $b;
                if    ($edge_x && $edge_y) { $ch = $y == $t ? ($x == $l ? $tl : $tr) : ($x == $l ? $bl : $br) }
                elsif ($edge_y)            { $ch = $h }
                elsif ($edge_x)            { $ch = $v }
                set_cell($x, $y, $ch, ($edge_x || $edge_y) ? $frame : $body);
            }
        }
    } elsif ($line =~ /^text (\d+) (\d+) (.*)$/) {
        my ($x, $y, $text) = ($1, $2, $3);
        set_cell($x + $_, $y, substr($text, $_, 1)) for 0 .. length($text) - 1;
    } elsif ($line =~ /^whole (\d+) (\d+) (\d+) (\d+)$/) {
        @whole = ($1 - 1, $2 - 1, $3 - 1, $4 - 1);
    } elsif ($line =~ /^any (\d+) (\d+) (\d+) (\d+)$/) {
        for my $y ($2 .. $4) {
            for my $x ($1 .. $3) { $checked[$y - 1][$x - 1] = 0 }
        }
    } else {
        die "screen.pl: cannot read expectation: $line\n";
    }
}

# --- comparison --------------------------------------------------------------
my $view_rows = scalar @got_char;
my $view_cols = 0;
for my $r (@got_char) { $view_cols = @$r if @$r > $view_cols }

# The differences with the view showing the screen from (ox, oy), 0-based.
sub diffs_at {
    my ($ox, $oy) = @_;
    my @d;
    for my $r (0 .. $view_rows - 1) {
        for my $c (0 .. $view_cols - 1) {
            my ($sr, $sc) = ($r + $oy, $c + $ox);
            my ($wc, $wa) = (' ', undef);    # beyond the screen: blank
            if ($sr < $rows && $sc < $columns) {
                next unless $checked[$sr][$sc];
                ($wc, $wa) = ($want_char[$sr][$sc], $want_attr[$sr][$sc]);
            }
            my $gc = $got_char[$r][$c] // '(none)';
            my $ga = $got_attr[$r][$c];
            next if $gc eq $wc && (!defined $wa || (defined $ga && $ga == $wa));
            push @d, sprintf("row %d column %d: want '%s' %s, got '%s' %s", $sr + 1, $sc + 1, $wc,
                             defined $wa ? sprintf('%02X', $wa) : '--', $gc,
                             defined $ga ? sprintf('%02X', $ga) : '--');
        }
    }
    return @d;
}

my ($best, $best_at);
for my $oy (0 .. ($rows > $view_rows ? $rows - $view_rows : 0)) {
    for my $ox (0 .. ($columns > $view_cols ? $columns - $view_cols : 0)) {
        next if @whole && ($whole[0] < $ox || $whole[2] >= $ox + $view_cols ||
                           $whole[1] < $oy || $whole[3] >= $oy + $view_rows);
        my @d = diffs_at($ox, $oy);
        exit 0 if !@d;
        ($best, $best_at) = ([@d], [$ox, $oy]) if !defined $best || @d < @$best;
    }
}
if (!defined $best) {
    print STDERR "a view of $view_cols by $view_rows cells cannot show columns ", $whole[0] + 1,
        " to ", $whole[2] + 1, ", rows ", $whole[1] + 1, " to ", $whole[3] + 1, " whole\n";
    exit 1;
}
my @diffs = @$best;
print STDERR "view of $view_cols by $view_rows cells from column ", $best_at->[0] + 1, " row ",
    $best_at->[1] + 1, " of the screen\n" if $view_cols != $columns || $view_rows != $rows;
print STDERR scalar(@diffs), " cells differ", (@diffs > 30 ? " (first 30)" : ""), ":\n";
print STDERR "  $_\n" for @diffs[0 .. (@diffs > 30 ? 29 : $#diffs)];
print STDERR "screen as captured (characters; then attributes):\n";
for my $r (0 .. $view_rows - 1) {
    printf STDERR "%2d|%s|\n", $r + 1, join('', map { $_ // ' ' } @{ $got_char[$r] // [] });
}
for my $r (0 .. $view_rows - 1) {
    printf STDERR "%2d|%s|\n", $r + 1,
        join('', map { defined $_ ? sprintf('%X', $_ >> 4) : '.' } @{ $got_attr[$r] // [] });
}
exit 1;

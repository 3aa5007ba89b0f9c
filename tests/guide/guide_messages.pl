#!/usr/bin/perl
# Fails when a text the program can show the operator is missing from the
# operator's guide, so that the guide cannot fall behind the program.
#
# The texts are read from the program's own sources (console/, link/,
# protocol/, driver/, with the folders below them): every string literal,
# with the literals the compiler joins taken as one, that holds at least two
# words.  Literals no operator sees (file modes, device paths, the compiler's
# static_assert texts) hold fewer words or are dropped below by what they
# are.  A text is found in the guide when each of its lines (broken where the
# program breaks it: CR, LF) stands in the guide, in order, on consecutive
# lines that are not blank; a printf conversion (%s, %u, %03u, ...) stands for
# whatever the program puts there.  A text the program builds with + is
# checked piece by piece.
#
# Usage: guide_messages.pl GUIDE.md SOURCE_DIR   (prints what is missing)
use strict;
use warnings;
use File::Find;

my ($guide_path, $source_dir) = @ARGV;
die "usage: guide_messages.pl GUIDE.md SOURCE_DIR\n" unless defined $source_dir;

# Fewer texts than this means the sources were not read as intended.
my $least_texts = 40;

sub read_file {
    my ($path) = @_;
    open(my $fh, '<', $path) or die "guide_messages.pl: cannot read $path: $!\n";
    local $/;
    my $text = <$fh>;
    close $fh;
    return $text;
}

sub unescape_one {
    my ($e) = @_;
    my %simple = (n => "\n", r => "\r", t => "\t", a => "\a");
    return $simple{$e} if exists $simple{$e};
    return chr(hex substr($e, 1)) if $e =~ /^x/;
    return chr(oct $e) if $e =~ /^[0-7]/;
    return $e;
}

sub unescape {
    my ($s) = @_;
    $s =~ s/\\([0-7]{1,3}|x[0-9A-Fa-f]+|.)/unescape_one($1)/ge;
    return $s;
}

# The string literals of one source file that may be shown, each group the
# compiler joins taken as one text, with the line it starts on.  Dropped: the
# texts of static_assert, #include and extern "C", which only the compiler sees.
sub texts_of {
    my ($path) = @_;
    my $code = read_file($path);
    my @texts;
    my $line = 1;
    my ($current, $current_line, $compiler_only);
    my $finish = sub {
        push @texts, [$current, $current_line] if defined $current && !$compiler_only;
        undef $current;
    };
    while ($code =~ m{\G(?:
              (?<comment>//[^\n]*|/\*.*?\*/)
            | (?<char>'(?:\\.|[^'\\])*')
            | (?<literal>"(?:\\.|[^"\\\n])*")
            | (?<space>\s+)
            | (?<other>.)
        )}gcsx) {
        my $start = $-[0];
        my %m = %+;
        my $token = $&;
        if (defined $m{literal}) {
            my $text = unescape(substr($m{literal}, 1, -1));
            if (defined $current) {
                $current .= $text;
            } else {
                ($current, $current_line) = ($text, $line);
                my $before = substr($code, $start > 400 ? $start - 400 : 0, $start > 400 ? 400 : $start);
                my ($line_before) = $before =~ /([^\n]*)\z/;
                $compiler_only = $before =~ /static_assert\s*\((?:(?!;).)*\z/s ||
                                 $line_before =~ /^\s*#\s*include|extern\s*\z/;
            }
        } elsif (!defined $m{space} && !defined $m{comment}) {
            $finish->();
        }
        $line += ($token =~ tr/\n//);
    }
    $finish->();
    return @texts;
}

# Every source below these folders, their platform folders (linux/, windows/)
# included.
my @sources;
for my $dir (qw(console link protocol driver)) {
    -d "$source_dir/$dir" or die "guide_messages.pl: no $source_dir/$dir\n";
    my @found;
    find({ no_chdir => 1, wanted => sub { push @found, $File::Find::name if /\.cpp$/ } },
         "$source_dir/$dir");
    push @sources, map { s{^\Q$source_dir\E/*}{}r } sort @found;
}

my @guide = grep { /\S/ } split /\n/, read_file($guide_path);
s/^\s+|\s+$//g for @guide;

my $conversion = qr/%[-+ #0]*(?:\d+|\*)?(?:\.(?:\d+|\*))?(?:hh|h|ll|l|z)?[diouxXcsp]/;

sub pattern_of {
    my ($line) = @_;
    my @parts = split /($conversion)/, $line;
    return join '', map { /^$conversion$/ ? '.*?' : quotemeta } @parts;
}

sub in_guide {
    my ($text) = @_;
    my @lines = grep { /\S/ } split /\r\n|\n\r|\r|\n/, $text;
    s/^\s+|\s+$//g for @lines;
    return 1 unless @lines;
    my @patterns = map { pattern_of($_) } @lines;
  START:
    for my $start (0 .. $#guide - $#patterns) {
        for my $i (0 .. $#patterns) {
            next START unless $guide[$start + $i] =~ /$patterns[$i]/;
        }
        return 1;
    }
    return 0;
}

my ($count, @missing) = (0);
for my $source (@sources) {
    for my $t (texts_of("$source_dir/$source")) {
        my ($text, $line) = @$t;
        my $words = () = $text =~ /[A-Za-z]{2,}/g;
        next if $words < 2 || $text !~ / /;
        ++$count;
        push @missing, "$source:$line: " . ($text =~ s/\r/\\r/gr =~ s/\n/\\n/gr) unless in_guide($text);
    }
}

if ($count < $least_texts) {
    print "only $count texts found in the sources under $source_dir: the reading is broken\n";
    exit 1;
}
if (@missing) {
    print "The operator's guide ($guide_path) lacks these texts of the program:\n";
    print "  $_\n" for @missing;
    exit 1;
}
print "all $count texts of the program are in the guide\n";

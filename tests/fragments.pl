#!/usr/bin/perl
# Prints the lines of text laid out for a terminal (the help, a manual page
# as man shows it) where a line break leaves a fragment: a compound torn
# apart (ファイル / 内, 文字 / コード, Quorvel / アーカイブ), a bracket
# apart from its word (UHC / (CP949)), a line that starts with a closing
# mark or with a particle, and a paragraph whose last line is one phrase
# (a verb alone). A line goes on the paragraph of the line before when its
# text starts where that line's text does: after a row's tag and its gap,
# or at its first character.
# usage: fragments.pl FILE...
use strict;
use warnings;
use open qw(:std :encoding(UTF-8));

my $compound = qr/[\x{30A0}-\x{30FF}\x{4E00}-\x{9FFF}\x{3005}]/;
my $japanese = qr/[\x{3000}-\x{30FF}\x{4E00}-\x{9FFF}\x{FF00}-\x{FFEF}]/;
my $latin = qr/[A-Za-z0-9]/;

sub indentation { $_[0] =~ /^( *)/; return length($1); }

sub column {
    my ($line) = @_;
    return $line =~ /^(\s*\S+(?: \S+)*\s{2,})\S/ ? length($1) : indentation($line);
}

my @lines = map { chomp; $_ } <>;
for my $i (1 .. $#lines) {
    my ($before, $line) = @lines[ $i - 1, $i ];
    next if $line !~ /\S/ || $before !~ /\S/ || column($line) != indentation($line) ||
        column($before) != column($line);
    (my $start = $line) =~ s/^\s+//;
    my $next = $i < $#lines ? $lines[ $i + 1 ] : '';
    my $last = $next !~ /\S/ || column($next) != indentation($next) || column($next) != column($line);
    my $why =
        ($before =~ /$compound$/ && $start =~ /^$compound/)  ? 'a compound torn'
      : ($before =~ /$latin$/    && $start =~ /^$compound/)  ? 'a Latin word torn from its compound'
      : ($before =~ /$compound$/ && $start =~ /^$latin/)     ? 'a Latin word torn from its compound'
      : ($before =~ /[(\[\x{FF08}\x{300C}]$/)                ? 'an opening bracket at the end'
      : ($start =~ /^[)\]\x{FF09}\x{300D}\x{300F}\x{3001}\x{3002}]/) ? 'a closing mark first'
      : ($start =~ /^\p{Hiragana}/ && $before !~ /[\x{3001}\x{3002}]$/) ? 'a particle first'
      : ($start =~ /^[(\[]/ && $before =~ /$latin$/) ? 'a bracket torn from its word'
      : ($start =~ /^[(\[][^ )\]]*[)\]]/ && $before =~ /$japanese$/) ? 'a bracket torn from its word'
      : ($last && $start =~ /^$compound+\p{Hiragana}*[)\x{3002}]?(?: \[[a-z ]+\])?$/) ? 'a phrase alone'
      :                                                                                  '';
    print "$why: $before\n$line\n" if $why;
}

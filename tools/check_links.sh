#!/usr/bin/env bash
# Checks every relative link of the Markdown files of the source tree: the
# file or folder a link names must exist, and a link with "#anchor" (to a
# page, or "#anchor" alone to its own page) must name a heading of that page
# as the hosting sites make its anchor (lower case, punctuation dropped,
# blanks to hyphens, "-1", "-2" for repeats). Links inside code are not
# links; web addresses are not checked. Prints each broken link with its
# file and line, and fails when there is one.
#
#   bash tools/check_links.sh [file.md ...]    (default: every *.md of the tree)
#
# The parsing is Perl's (perl-base is part of every Debian system).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
if [ $# -eq 0 ]; then
  mapfile -t files < <(find . -name '*.md' -not -path './.git/*' -not -path './build*' \
                         -not -path './wt-*' -not -path '*/node_modules/*' | sed 's|^\./||' | sort)
else
  files=("$@")
fi
exec perl -CSDA -e '
use strict;
use warnings;
use File::Basename qw(dirname);
use File::Spec;

my %anchors;  # page -> { anchor -> 1 }

# The lines of a page outside fenced code blocks, with inline code removed.
sub prose {
  my ($file) = @_;
  open(my $fh, "<:encoding(UTF-8)", $file) or return ();
  my @out;
  my $fence = "";
  while (my $l = <$fh>) {
    chomp $l;
    if ($l =~ /^\s*(```+|~~~+)/) {
      my $f = substr($1, 0, 3);
      if ($fence eq "") { $fence = $f; } elsif ($f eq $fence) { $fence = ""; }
      push @out, "";
      next;
    }
    if ($fence ne "") { push @out, ""; next; }
    $l =~ s/(`+)(.*?)\1//g;
    push @out, $l;
  }
  return @out;
}

sub slug {
  my ($t) = @_;
  $t =~ s/<[^>]*>//g;                       # inline HTML
  $t =~ s/\[([^\]]*)\]\([^)]*\)/$1/g;       # a link in a heading reads as its text
  $t = lc $t;
  $t =~ s/[^\p{L}\p{N}\p{M}\p{Pc} \-]//g;
  $t =~ s/ /-/g;
  return $t;
}

sub anchors_of {
  my ($file) = @_;
  return $anchors{$file} if $anchors{$file};
  my %a;
  my %seen;
  open(my $fh, "<:encoding(UTF-8)", $file) or return $anchors{$file} = {};
  my $fence = "";
  while (my $l = <$fh>) {
    chomp $l;
    if ($l =~ /^\s*(```+|~~~+)/) {
      my $f = substr($1, 0, 3);
      if ($fence eq "") { $fence = $f; } elsif ($f eq $fence) { $fence = ""; }
      next;
    }
    next if $fence ne "";
    while ($l =~ /<a\s+(?:name|id)="([^"]+)"/g) { $a{$1} = 1; }
    next unless $l =~ /^\s{0,3}#{1,6}\s+(.*?)\s*#*\s*$/;
    my $s = slug($1);
    my $n = $seen{$s}++;
    $a{$n ? "$s-$n" : $s} = 1;
  }
  return $anchors{$file} = \%a;
}

my $bad = 0;
for my $file (@ARGV) {
  my @lines = prose($file);
  my $dir = dirname($file);
  for my $i (0 .. $#lines) {
    my $l = $lines[$i];
    while ($l =~ /!?\[(?:[^\[\]]|\[[^\]]*\])*\]\(\s*<?([^)\s>]*)>?(?:\s+"[^"]*")?\s*\)/g) {
      my $target = $1;
      next if $target eq "" || $target =~ /^[a-z][a-z0-9+.-]*:/i;
      my ($path, $anchor) = split(/#/, $target, 2);
      my $page = $path eq "" ? $file : File::Spec->catfile($dir, $path);
      my $why;
      if (!-e $page) {
        $why = "no such file";
      } elsif (defined $anchor && $anchor ne "" && $page =~ /\.md$/i && !anchors_of($page)->{$anchor}) {
        $why = "no heading #$anchor in $page";
      }
      if ($why) {
        printf "%s:%d: broken link (%s): %s\n", $file, $i + 1, $why, $target;
        $bad = 1;
      }
    }
  }
}
printf "links: %d Markdown files checked, %s\n", scalar(@ARGV), $bad ? "broken links found" : "every relative link resolves";
exit $bad;
' "${files[@]}"

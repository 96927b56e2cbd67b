#!/bin/sh
# Writes the manual page tavrelh5(8), gzip-compressed without a time stamp as
# Debian wants it, from the gateway's own --help, so that the two never
# differ: the usage lines are the synopsis; a paragraph opening "Word: " or
# "Two words: " is a section of that name; indented "TERM  text" lines are
# options, a line ending in ":" above them their subsection; other
# paragraphs the description. The packaged files follow.
# tests/deploy/check-package.sh holds the page against --help word by word.
#
#   man-from-help.sh BINARY VERSION SUMMARY OUTPUT
set -eu
bin=$1
version=$2
summary=$3
out=$4

"$bin" --help >"$out.help"
head -n 1 "$out.help" | grep -q '^Usage: ' || {
  echo "man-from-help: $bin --help does not start with a usage line" >&2
  exit 1
}
{
  awk -v version="$version" -v summary="$summary" '
    # roff: a backslash is \e, a minus \- (an ASCII hyphen in every output),
    # and a line must not start with a control character.
    function esc(s, c) {
      gsub(/\\/, "\\\\e", s)
      gsub(/-/, "\\\\-", s)
      c = substr(s, 1, 1)
      if (c == "." || c == "\047") s = "\\&" s
      return s
    }
    function trim(s) { sub(/^ +/, "", s); return s }
    function text(from, i) {
      print ".PP"
      for (i = from; i <= n; i++) print esc(trim(line[i]))
    }
    function items(from, i, s, term) {
      if (!options) { print ".SH OPTIONS"; options = 1 }
      for (i = from; i <= n; i++) {
        s = line[i]
        if (s ~ /^  [^ ]/) {
          s = substr(s, 3)
          term = s
          if (match(s, /  +/)) { term = substr(s, 1, RSTART - 1); s = substr(s, RSTART + RLENGTH) }
          else s = ""
          print ".TP"
          print "\\fB" esc(term) "\\fR"
          if (s != "") print esc(s)
        } else {
          print esc(trim(s))
        }
      }
    }
    function flush(s, word, i) {
      if (n == 0) return
      s = line[1]
      if (s ~ /^Usage: /) {
        print ".SH SYNOPSIS"
        print ".nf"
        for (i = 1; i <= n; i++) { s = line[i]; sub(/^Usage: +/, "", s); print esc(trim(s)) }
        print ".fi"
      } else if (s ~ /^[A-Z][a-z]*( [a-z]+)?: /) {
        word = substr(s, 1, index(s, ":") - 1)
        print ".SH " toupper(word)
        sub(/^[^:]*: +/, "", s)
        line[1] = s
        text(1)
      } else if (s ~ /^[^ ].*:$/ && n > 1 && line[2] ~ /^ /) {
        if (!options) { print ".SH OPTIONS"; options = 1 }
        sub(/:$/, "", s)
        print ".SS " esc(s)
        items(2)
      } else if (s ~ /^  [^ ]/) {
        items(1)
      } else {
        if (!described) { print ".SH DESCRIPTION"; described = 1 }
        text(1)
      }
      n = 0
    }
    BEGIN {
      print ".TH TAVRELH5 8 \"\" \"tavrelh5 " version "\" \"System Administration\""
      # No hyphenation and ragged lines: the page reads, and is checked, word by word.
      print ".nh"
      print ".ad l"
      print ".SH NAME"
      print "tavrelh5 \\- " esc(summary)
    }
    /^ *$/ { flush(); next }
    { line[++n] = $0 }
    END { flush() }
  ' "$out.help"
  cat <<'EOF'
.SH FILES
.TP
.I /etc/tavrelh5/Tavrel.ini
the Debian package's settings file (a conffile), which the service reads with
\-\-config and never writes
.TP
.I /var/lib/tavrelh5
the service's home and working directory: Ip.txt, PunishDetect.txt and Log,
which points to /var/log/tavrelh5
.TP
.I /var/log/tavrelh5
the log files, Log/<port>/*_yyyymmdd_nnn.txt, deleted after 14 days
([Log] KeepDays of the packaged settings)
.SH SEE ALSO
.BR systemctl (1),
.BR journalctl (1),
/usr/share/doc/tavrelh5/README.md
EOF
} | gzip -9n >"$out.tmp"
rm -f "$out.help"
mv -f "$out.tmp" "$out"

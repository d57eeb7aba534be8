# Table helpers shared by scripts/bench.sh and scripts/bench-relay.sh (sourced).

median() { # numbers on stdin, one a line
  sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) exit; if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

fmt_rate() { # a rate, or a word
  case "$1" in '' | n/a | failed) echo "${1:--}" ;; *) printf "%.0f" "$1" ;; esac
}

ratio() { # A B -> A/B with two decimals, or - (for a word or an empty value)
  case "$1$2" in *[!0-9.]* | '') echo "-" ; return ;; esac
  [ -n "$1" ] && [ -n "$2" ] || { echo "-"; return; }
  awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'
}

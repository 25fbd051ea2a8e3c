# Sourced by the set-up scripts: `debian_mirror CODENAME` prints the URI and keyring ("-" when none)
# of the first source in the machine's apt sources that serves the codename's own suite. No host
# name is written anywhere: the machine's own mirror is used.
debian_mirror() {
  local want=$1
  if [ -r /etc/apt/sources.list.d/debian.sources ]; then
    awk -v want="$want" '
      function flush() { if (uri != "" && index(" " suites " ", " " want " ") && !done) { print uri, (key == "" ? "-" : key); done = 1 } uri = suites = key = ""; deb = 0 }
      /^[ \t]*$/ { flush(); next }
      /^Types:/ { deb = ($0 ~ /[ \t]deb([ \t]|$)/) } /^URIs:/ { if (deb) uri = $2 }
      /^Suites:/ { $1 = ""; suites = $0 } /^Signed-By:/ { key = $2 }
      END { flush() }' /etc/apt/sources.list.d/debian.sources
  else
    awk -v want="$want" '$1 == "deb" && !done {
        key = "-"
        if (match($0, /\[[^]]*\]/)) {
          opts = substr($0, RSTART, RLENGTH); $0 = substr($0, 1, RSTART - 1) substr($0, RSTART + RLENGTH)
          if (match(opts, /signed-by=[^] ]*/)) key = substr(opts, RSTART + 10, RLENGTH - 10)
        }
        if ($3 == want) { print $2, key; done = 1 } }' /etc/apt/sources.list
  fi
}

#!/bin/sh
# readme_info_plist_test.sh SOURCE_DIR: passes when the README's example
# Info.plist is demo/Info.plist.in with the example's two names filled in.
set -eu
root=$1
example=$(sed -n "/^    cat > Demo.app\/Contents\/Info.plist <<'PLIST'\$/,/^    PLIST\$/p" \
  "$root/README.md" | sed '1d;$d;s/^    //')
filled=$(sed 's/@IDENTIFIER@/com.example.myhost/; s/@EXECUTABLE@/MyHost/' "$root/demo/Info.plist.in")
if [ -z "$example" ] || [ "$example" != "$filled" ]; then
  echo "README.md's example Info.plist is not demo/Info.plist.in filled in:"
  printf '%s\n' "$example"
  exit 1
fi

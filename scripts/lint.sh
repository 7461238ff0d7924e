#!/usr/bin/env bash
# Checks of the sources that no run of the program can make. Today: no certificate check of the
# internet client is switched off anywhere in the updater, neither by name nor by value.
set -uo pipefail
cd "$(dirname "$0")/.."
status=0
folders=(app engine platform ui crash trust)

# The names: INTERNET_FLAG_IGNORE_CERT_*, SECURITY_FLAG_IGNORE_*, and the option that sets the
# latter (INTERNET_OPTION_SECURITY_FLAGS).
if grep -rnE 'INTERNET_FLAG_IGNORE_CERT|SECURITY_FLAG_IGNORE|INTERNET_OPTION_SECURITY_FLAGS' "${folders[@]}" \
    --include='*.cpp' --include='*.h'; then
  echo "lint: a certificate check is switched off by name (above)"
  status=1
fi

# The values: the option by its number (31) in any InternetSetOption call, and the open flags
# written as a number with INTERNET_FLAG_IGNORE_CERT_CN_INVALID (0x1000) or
# INTERNET_FLAG_IGNORE_CERT_DATE_INVALID (0x2000).
if grep -rnE 'InternetSetOption[AW]?\([^,]*,[[:space:]]*(31|0x0*1[fF])[[:space:]]*,' "${folders[@]}" \
    --include='*.cpp' --include='*.h'; then
  echo "lint: the security flags option is set by number (above)"
  status=1
fi
while IFS= read -r line; do
  value=$(grep -oE '0x[0-9a-fA-F]+' <<<"$line" | head -1)
  if [ -n "$value" ] && (( value & 0x3000 )); then
    echo "$line"
    echo "lint: open flags that ignore certificate errors (above)"
    status=1
  fi
done < <(grep -rnE 'Flags?[[:space:]]*=[[:space:]]*0x[0-9a-fA-F]+' "${folders[@]}" --include='*.cpp' --include='*.h')

[ "$status" -eq 0 ] && echo "lint: ok"
exit "$status"

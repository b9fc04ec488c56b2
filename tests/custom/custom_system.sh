#!/bin/bash
# The customisation archive and the language configuration inside the host
# sandbox: the stand-in loadtools and flash_tool keep what they were given,
# and that is compared byte for byte with what the device should receive.
#   custom_system.sh DRIVER    (UPDATE_SOURCE_DIR and UPDATE_BINARY_DIR set)
set -uo pipefail
driver=${1:?usage: custom_system.sh DRIVER}
src=${UPDATE_SOURCE_DIR:?}
bin=${UPDATE_BINARY_DIR:?}
sandbox=${SANDBOX_SH:-$src/tests/sandbox/sandbox.sh}
stub_record=$(dirname "$sandbox")/stub-record
if [[ ! -x $sandbox ]]; then
  echo "no sandbox at $sandbox" >&2
  exit 77
fi
mkdir -p "$bin/scratch"
root=$(mktemp -d "$bin/scratch/custom-system.XXXXXX")
fails=0
case=""
dir=""

fail() { echo "FAIL [$case]: $*" >&2; fails=$((fails + 1)); }
begin() {
  case=$1
  dir=$root/$case
  mkdir -p "$dir/proc" "$dir/tmp" "$dir/bin" "$dir/stage/oem" "$dir/var/devcap"
}
# run STEP [ARG]: the driver inside the sandbox; its output lands in $dir/out.
run() {
  "$sandbox" "$dir" -- "$driver" "$@" > "$dir/out" 2>&1
  local rc=$?
  [[ $rc -eq 0 ]] || fail "sandbox exit $rc: $(cat "$dir/out")"
}
expect_result() { grep -qx "result=$1" "$dir/out" || fail "want result=$1, got: $(grep result= "$dir/out")"; }
expect_out() { grep -qF -- "$1" "$dir/out" || fail "output lacks '$1'"; }
expect_log() { grep -qF -- "$1" "$dir/var/log/update.log" 2>/dev/null || fail "log lacks '$1'"; }
expect_no_log() { ! grep -qF -- "$1" "$dir/var/log/update.log" 2>/dev/null || fail "log has '$1'"; }
expect_journal() {
  local got
  got=$(cat "$dir/journal/$1" 2>/dev/null)
  [[ $got == "$2" ]] || fail "journal $1: got '$got', want '$2'"
}
expect_same() { cmp -s "$1" "$2" || fail "$1 differs from $2"; }
make_zip() { (cd "$dir/stage" && zip -qr "$dir/tmp/custom.zip" .) || fail "zip"; }
failing_tool() {
  printf '#!/bin/sh\n%s --copy %s "$@"\nexit %s\n' "$stub_record" "$1" "$2" > "$dir/bin/$1"
  chmod +x "$dir/bin/$1"
}

# --- the whole archive ------------------------------------------------------
begin full
printf 'bootdelay=3\nDEVICE_SERIAL_NUMBER=SN-DEVICE-7\nethaddr=00:00:00:00:00:01\nMAC_ADDRESS=00:11:22:33:44:55\nMAC_ADDRESS2=00:11:22:33:44:56\n' > "$dir/proc/env"
printf 'PRODUCT_MODEL:NVR-16\r\nDEVICE_SERIAL_NUMBER:SN-PKG\nMAC_ADDRESS:ff:ff:ff:ff:ff:ff\nMAC_ADDRESS2:ff:ff:ff:ff:ff:fe\nBOARD_SERIAL_NUMBER:BSN-PKG\nNOTE:it'"'"'s $(HOME) `x`\nVENDOR:acme' > "$dir/stage/oem/manuinfo.txt"
printf 'PRODUCT_MODEL:NVR-16\r\nDEVICE_SERIAL_NUMBER=SN-DEVICE-7\nMAC_ADDRESS=00:11:22:33:44:55\nMAC_ADDRESS=00:11:22:33:44:55\nBOARD_SERIAL_NUMBER:BSN-PKG\nNOTE:it'"'"'s $(HOME) `x`\nVENDOR:acme' > "$dir/expected-manu"
printf '@@\r\nE_CONFIG_VER:1.00\r\nOEM_NAME:x\r\n$$\r\n' > "$dir/stage/oem/cfginfo.txt"
head -c 3000 /dev/urandom > "$dir/stage/oem/bootlogo_non.gz"
head -c 5000 /dev/urandom > "$dir/stage/oem/res.zip"
make_zip
run custom
expect_result 0
expect_journal loadtools $'/tmp/oem/manuinfoTmp.txt ManuInfo\n/tmp/oem/cfginfo.txt CfgInfo'
expect_same "$dir/journal/loadtools.files/1-manuinfoTmp.txt" "$dir/expected-manu"
expect_same "$dir/journal/loadtools.files/2-cfginfo.txt" "$dir/stage/oem/cfginfo.txt"
expect_journal flash_tool $'w /tmp/bootlogo_non.gz\nw /tmp/res_compress.tar.gz'
expect_same "$dir/journal/flash_tool.files/1-bootlogo_non.gz" "$dir/stage/oem/bootlogo_non.gz"
mkdir -p "$dir/unpacked"
tar -xzf "$dir/journal/flash_tool.files/2-res_compress.tar.gz" -C "$dir/unpacked" || fail "resource pack unreadable"
expect_same "$dir/unpacked/res.zip" "$dir/stage/oem/res.zip"
[[ $(ls "$dir/unpacked") == res.zip ]] || fail "resource pack holds more than res.zip"
[[ ! -e $dir/tmp/oem/bootlogo_non.gz && -f $dir/tmp/bootlogo_non.gz ]] || fail "logo not moved to /tmp"
expect_log "UPDATE_LoadManuInfo file : /tmp/oem/manuinfo.txt."
expect_log "loadtools /tmp/oem/manuinfoTmp.txt ManuInfo"
expect_log "loadtools /tmp/oem/cfginfo.txt CfgInfo"
expect_log "flash_tool w /tmp/bootlogo_non.gz"
expect_log "flash_tool w /tmp/res_compress.tar.gz"
expect_no_log "failed"

# --- an archive without any part, and one whose line is too long for the buffer
begin noparts
printf 'other\n' > "$dir/stage/readme.txt"
rmdir "$dir/stage/oem"
make_zip
run custom
expect_result 0
[[ ! -e $dir/journal/loadtools && ! -e $dir/journal/flash_tool ]] || fail "a tool ran without its part"
expect_log "UPDATE_LoadManuInfo file : /tmp/oem/manuinfo.txt."
expect_no_log "failed"
[[ -f $dir/tmp/readme.txt ]] || fail "archive not unpacked into /tmp"

begin noenv
# No /proc/env at all: every package line stays, a long one included.
{ printf 'MAC_ADDRESS:pkg\n'; head -c 2000 /dev/zero | tr '\0' 'x'; printf '\nBOARD_SERIAL_NUMBER:b\n'; } > "$dir/stage/oem/manuinfo.txt"
make_zip
run custom
expect_result 0
expect_journal loadtools '/tmp/oem/manuinfoTmp.txt ManuInfo'
expect_same "$dir/journal/loadtools.files/1-manuinfoTmp.txt" "$dir/stage/oem/manuinfo.txt"
[[ ! -e $dir/journal/flash_tool ]] || fail "flash_tool ran without logo or resources"

# --- tools that fail: each step reports, the next still runs --------------------
begin toolsfail
printf 'MAC_ADDRESS:1\n' > "$dir/stage/oem/manuinfo.txt"
printf 'X:1\r\n' > "$dir/stage/oem/cfginfo.txt"
printf 'logo' > "$dir/stage/oem/bootlogo_non.gz"
printf 'res' > "$dir/stage/oem/res.zip"
make_zip
failing_tool loadtools 3
failing_tool flash_tool 4
run custom
expect_result 0
expect_log "UPDATE_LoadManuInfo failed."
expect_log "UPDATE_LoadCfgInfo failed."
expect_log "UPDATE_LoadLogoFile bootlogo_non.gz failed."
expect_log "UPDATE_LoadLogoFile res.zip failed."
expect_journal loadtools $'/tmp/oem/manuinfoTmp.txt ManuInfo\n/tmp/oem/cfginfo.txt CfgInfo'
expect_journal flash_tool $'w /tmp/bootlogo_non.gz\nw /tmp/res_compress.tar.gz'

# --- hostile archives ---------------------------------------------------------
begin hostile
python3 - "$dir/tmp/custom.zip" <<'PY' || fail "cannot build the hostile archive"
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z:
    z.writestr("oem/manuinfo.txt", "MAC_ADDRESS:x\n")
    z.writestr("../escape-dotdot", "x")
    z.writestr("../../escape-deep", "x")
    z.writestr("oem/../../escape-mid", "x")
    z.writestr("/escape-abs/x", "x")
    z.writestr("/var/escape-var", "x")
PY
"$sandbox" "$dir" -- /bin/sh -c '"$0" custom; for f in /escape-dotdot /escape-deep /escape-mid /escape-abs /var/escape-var; do [ -e "$f" ] && echo "outside: $f"; done; exit 0' "$driver" > "$dir/out" 2>&1 || fail "sandbox: $(cat "$dir/out")"
grep -q '^result=0$' "$dir/out" && fail "hostile archive accepted"
expect_log "tar file /tmp/custom.zip failed."
grep -F "outside:" "$dir/out" && fail "an entry landed outside /tmp"
[[ -z $(find "$dir" -name 'escape-*' -not -path "$dir/tmp/*") ]] || fail "an entry landed outside /tmp: $(find "$dir" -name 'escape-*')"
[[ ! -e $dir/journal/loadtools ]] || fail "parts of a refused archive were loaded"

begin links
python3 - "$dir/tmp/custom.zip" <<'PY' || fail "cannot build the archive with links"
import sys, stat, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z:
    for name in ("oem/manuinfo.txt", "oem/bootlogo_non.gz", "oem/cfginfo.txt"):
        info = zipfile.ZipInfo(name)
        info.create_system = 3
        info.external_attr = (stat.S_IFLNK | 0o777) << 16
        z.writestr(info, "/proc/env")
PY
printf 'MAC_ADDRESS=secret\n' > "$dir/proc/env"
run custom
expect_result 0
expect_log "UPDATE_LoadManuInfo failed."
expect_log "UPDATE_LoadCfgInfo failed."
expect_log "UPDATE_LoadLogoFile bootlogo_non.gz failed."
[[ ! -e $dir/journal/loadtools && ! -e $dir/journal/flash_tool ]] || fail "a linked file reached a tool"

begin badname
run custom '/tmp/no such.zip;touch /tmp/pwned;#'
expect_log "tar file /tmp/no such.zip;touch /tmp/pwned;# failed."
grep -q '^result=0$' "$dir/out" && fail "missing archive reported as success"
[[ ! -e $dir/tmp/pwned ]] || fail "archive name ran as a command"

# --- language configuration -----------------------------------------------------
cfg_head=$'@@\r\nE_CONFIG_VER:1.00\r\n'
# lang_case NAME SUPPORT CURRENT EXPECTED-FILE|- MESSAGE
lang_case() {
  begin "lang-$1"
  printf '<?xml version="1.0" encoding="UTF-8"?>\n<DevCap>\n<Video Channels="16"/>\n<Custom><ACustomCfg Oem="1" SupportLanguage="%s"/></Custom>\n<Ui><CurLanguage>%s</CurLanguage></Ui>\n</DevCap>\n' "$2" "$3" > "$dir/var/devcap/devcap.xml"
  run lang
  expect_out "$5"
  if [[ $4 == - ]]; then
    [[ ! -e $dir/journal/loadtools ]] || fail "loadtools ran for a refused capability file"
  else
    expect_journal loadtools '/tmp/cfginfo.txt CfgInfo'
    printf '%s' "$4" > "$dir/expected-cfg"
    expect_same "$dir/journal/loadtools.files/1-cfginfo.txt" "$dir/expected-cfg"
  fi
  [[ ! -e $dir/tmp/cfginfo.txt ]] || fail "/tmp/cfginfo.txt left behind"
}
lang_case en "3,0,0,0" 1 "${cfg_head}DEFAULT_LANGUAGE:EN"$'\r\n'"SUPPORT_LANGUAGE:3,0,0,0"$'\r\n$$\r\n' \
  "Get xml language default:1, support:3,0,0,0."
lang_case notset 3 33 - "Default language(33) is not in support language(3/0/0/0)."
lang_case kk "0,2" 33 "${cfg_head}DEFAULT_LANGUAGE:KK"$'\r\n'"SUPPORT_LANGUAGE:0,2,0,0"$'\r\n$$\r\n' \
  "Get xml language default:33, support:0,2,0,0."
lang_case empty 3 "" - "Default language(255) is not in support language(3/0/0/0)."
lang_case wrap "1" 256 "${cfg_head}DEFAULT_LANGUAGE:ZH"$'\r\n'"SUPPORT_LANGUAGE:1,0,0,0"$'\r\n$$\r\n' \
  "Get xml language default:0, support:1,0,0,0."
lang_case unnamed36 "0,16" 36 "${cfg_head}DEFAULT_LANGUAGE:"$'\r\n'"SUPPORT_LANGUAGE:0,10,0,0"$'\r\n$$\r\n' \
  "Get xml language default:36, support:0,16,0,0."
lang_case unnamed127 "0,0,0,2147483648" 127 \
  "${cfg_head}DEFAULT_LANGUAGE:"$'\r\n'"SUPPORT_LANGUAGE:0,0,0,80000000"$'\r\n$$\r\n' \
  "Get xml language default:127, support:0,0,0,2147483648."

begin lang-nonodes
printf '<?xml version="1.0"?>\n<DevCap><Video/></DevCap>\n' > "$dir/var/devcap/devcap.xml"
run lang
expect_out "A custom node is NULL."
expect_out "Current language node is NULL."
expect_out "Default and support language are inexistence."
[[ ! -e $dir/journal/loadtools ]] || fail "loadtools ran"

begin lang-missing
rmdir "$dir/var/devcap"
run lang
expect_out "/var/devcap/devcap.xml inexistence"
[[ ! -e $dir/journal/loadtools ]] || fail "loadtools ran"

begin lang-malformed
printf '<?xml version="1.0"?>\n<DevCap><ACustomCfg SupportLanguage="3"><CurLanguage>1</Cur' > "$dir/var/devcap/devcap.xml"
run lang
expect_out "XmlNode is NULL."
[[ ! -e $dir/journal/loadtools ]] || fail "loadtools ran"

begin lang-huge
{ printf '<?xml version="1.0"?>\n<DevCap><ACustomCfg SupportLanguage="3"/><CurLanguage>1</CurLanguage>'; head -c 2100000 /dev/zero | tr '\0' ' '; printf '</DevCap>\n'; } > "$dir/var/devcap/devcap.xml"
run lang
expect_out "/var/devcap/devcap.xml is not a regular file of at most"
[[ ! -e $dir/journal/loadtools ]] || fail "loadtools ran"

begin lang-loadfails
printf '<?xml version="1.0"?>\n<DevCap><ACustomCfg SupportLanguage="3"/><CurLanguage>0</CurLanguage></DevCap>\n' > "$dir/var/devcap/devcap.xml"
failing_tool loadtools 3
run lang
expect_out "Failed to load /tmp/cfginfo.txt, 3."
expect_journal loadtools '/tmp/cfginfo.txt CfgInfo'
[[ ! -e $dir/tmp/cfginfo.txt ]] || fail "/tmp/cfginfo.txt left behind"

if ((fails)); then
  echo "$fails failure(s); sandboxes kept in $root" >&2
  exit 1
fi
rm -rf "$root"
echo "custom system tests passed"

#!/bin/bash
# The customisation archive and the language configuration in the host
# sandbox: the stand-in loadtools and flash_tool keep copies of what they got.
# An archive with a resource pack alone and a link planted at the pack's name
# is proven by the updater on the simulated board, whose updates also run the
# language step without a capability file.
#   custom_system.sh DRIVER    (UPDATE_SOURCE_DIR and UPDATE_BINARY_DIR set)
set -uo pipefail
driver=${1:?usage: custom_system.sh DRIVER}
sandbox=${SANDBOX_SH:-${UPDATE_SOURCE_DIR:?}/tests/sandbox/sandbox.sh}
[[ -x $sandbox ]] || { echo "no sandbox at $sandbox" >&2; exit 77; }
mkdir -p "${UPDATE_BINARY_DIR:?}/scratch"
root=$(mktemp -d "$UPDATE_BINARY_DIR/scratch/custom-system.XXXXXX")
fails=0

fail() { echo "FAIL [$case]: $*" >&2; fails=$((fails + 1)); }
begin() { case=$1 dir=$root/$1; mkdir -p "$dir"/{proc,tmp,bin,stage/oem,var/devcap}; }
run() { "$sandbox" "$dir" -- "$driver" "$@" > "$dir/out" 2>&1 || fail "sandbox exit $?: $(cat "$dir/out")"; }
expect_out() { local m; for m; do grep -qF -- "$m" "$dir/out" || fail "output lacks '$m'"; done; }
expect_log() { local m; for m; do grep -qF -- "$m" "$dir/var/log/update.log" 2>/dev/null || fail "log lacks '$m'"; done; }
expect_journal() { [[ $(cat "$dir/journal/$1" 2>/dev/null) == "$2" ]] || fail "journal $1 is not '$2'"; }
expect_same() { cmp -s "$1" "$2" || fail "$1 differs from $2"; }
no_tool() { local t; for t; do [[ ! -e $dir/journal/$t ]] || fail "$t ran"; done; }
make_zip() { (cd "$dir/stage" && zip -qr "$dir/tmp/custom.zip" .) || fail "zip"; }
failing_tool() { printf '#!/bin/sh\n%s --copy %s "$@"\nexit %s\n' "$(dirname "$sandbox")/stub-record" "$1" "$2" > "$dir/bin/$1" && chmod +x "$dir/bin/$1"; }
# zip_entries NAME[->TARGET]...: /tmp/custom.zip with these entries, each holding "x" or a link to TARGET
zip_entries() {
  python3 - "$dir/tmp/custom.zip" "$@" <<'PY' || fail "cannot build the archive"
import stat, sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z:
    for name, _, target in (a.partition("->") for a in sys.argv[2:]):
        info = zipfile.ZipInfo(name)
        if target:
            info.create_system, info.external_attr = 3, (stat.S_IFLNK | 0o777) << 16
        z.writestr(info, target or "x")
PY
}

begin full  # both tools fail: each step says so and the next still runs
printf 'bootdelay=3\nDEVICE_SERIAL_NUMBER=SN-DEVICE-7\nethaddr=00:00:00:00:00:01\nMAC_ADDRESS=00:11:22:33:44:55\nMAC_ADDRESS2=00:11:22:33:44:56\n' > "$dir/proc/env"
printf 'PRODUCT_MODEL:NVR-16\r\nDEVICE_SERIAL_NUMBER:SN-PKG\nMAC_ADDRESS:ff:ff:ff:ff:ff:ff\nMAC_ADDRESS2:ff:ff:ff:ff:ff:fe\nBOARD_SERIAL_NUMBER:BSN-PKG\nNOTE:it'"'"'s $(HOME) `x`\nVENDOR:acme' > "$dir/stage/oem/manuinfo.txt"
printf 'PRODUCT_MODEL:NVR-16\r\nDEVICE_SERIAL_NUMBER=SN-DEVICE-7\nMAC_ADDRESS=00:11:22:33:44:55\nMAC_ADDRESS=00:11:22:33:44:55\nBOARD_SERIAL_NUMBER:BSN-PKG\nNOTE:it'"'"'s $(HOME) `x`\nVENDOR:acme' > "$dir/expected-manu"
printf '@@\r\nE_CONFIG_VER:1.00\r\nOEM_NAME:x\r\n$$\r\n' > "$dir/stage/oem/cfginfo.txt"
head -c 3000 /dev/urandom > "$dir/stage/oem/bootlogo_non.gz"
make_zip
failing_tool loadtools 3
failing_tool flash_tool 4
run custom
grep -qx result=0 "$dir/out" || fail "want result=0: $(cat "$dir/out")"
expect_journal loadtools $'/tmp/oem/manuinfoTmp.txt ManuInfo\n/tmp/oem/cfginfo.txt CfgInfo'
expect_same "$dir/journal/loadtools.files/1-manuinfoTmp.txt" "$dir/expected-manu"
expect_journal flash_tool 'w /tmp/bootlogo_non.gz'
expect_same "$dir/journal/flash_tool.files/1-bootlogo_non.gz" "$dir/stage/oem/bootlogo_non.gz"
[[ ! -e $dir/tmp/oem/bootlogo_non.gz && -f $dir/tmp/bootlogo_non.gz ]] || fail "logo not moved to /tmp"
expect_log "UPDATE_LoadManuInfo failed." "UPDATE_LoadCfgInfo failed." "UPDATE_LoadLogoFile bootlogo_non.gz failed."

begin hostile
zip_entries oem/manuinfo.txt ../escape-dotdot ../../escape-deep oem/../../escape-mid /escape-abs/x /var/escape-var
"$sandbox" "$dir" -- /bin/sh -c '"$0" custom; for f in /escape-dotdot /escape-deep /escape-mid /escape-abs /var/escape-var; do [ -e "$f" ] && echo "outside: $f"; done; exit 0' "$driver" > "$dir/out" 2>&1 || fail "sandbox: $(cat "$dir/out")"
# refused as a whole: the step ends at once, with that line
expect_log "tar file /tmp/custom.zip failed."
! grep -F "outside:" "$dir/out" || fail "an entry landed outside /tmp"
[[ -z $(find "$dir" -name 'escape-*' -not -path "$dir/tmp/*") ]] || fail "an entry landed outside /tmp"

begin links  # each part refused on its own, and the next still tried
zip_entries oem/{manuinfo.txt,bootlogo_non.gz,cfginfo.txt,res.zip}-\>/proc/env
printf 'MAC_ADDRESS=secret\n' > "$dir/proc/env"
run custom
expect_log "UPDATE_LoadManuInfo failed." "UPDATE_LoadCfgInfo failed." "UPDATE_LoadLogoFile bootlogo_non.gz failed." \
  "UPDATE_LoadLogoFile res.zip failed."
no_tool loadtools flash_tool

begin noquestion  # unzip asks before it overwrites: never the updater's own input, which says "all"
printf new > "$dir/stage/readme.txt"
printf old > "$dir/tmp/readme.txt"
make_zip
run custom < <(yes A)
expect_out "EOF or read error"
[[ $(<"$dir/tmp/readme.txt") == old ]] || fail "the file was overwritten without a yes"

begin badname
run custom '/tmp/no such.zip;touch /tmp/pwned;#'
expect_log "tar file /tmp/no such.zip;touch /tmp/pwned;# failed."
[[ ! -e $dir/tmp/pwned ]] || fail "archive name ran as a command"

doc() { printf '<?xml version="1.0" encoding="UTF-8"?>\n<DevCap>\n<Video Channels="16"/>\n<Custom><ACustomCfg Oem="1" SupportLanguage="%s"/></Custom>\n<Ui><CurLanguage>%s</CurLanguage></Ui>\n</DevCap>\n' "$1" "$2"; }
# lang NAME DEVCAP MESSAGE...: the language step on that capability file prints
# the messages; only the case named "load" gets as far as loadtools (failing).
lang() {
  begin "lang-$1"
  printf '%s' "$2" > "$dir/var/devcap/devcap.xml"
  [[ $1 != load ]] || failing_tool loadtools 3
  run lang
  expect_out "${@:3}"
  [[ $1 == load ]] || no_tool loadtools
}
lang notset "$(doc 3 33)" "Default language(33) is not in support language(3/0/0/0)."
lang nonodes $'<?xml version="1.0"?>\n<DevCap><Video/></DevCap>\n' "A custom node is NULL." \
  "Current language node is NULL." "Default and support language are inexistence."
lang malformed '<?xml version="1.0"?><DevCap><ACustomCfg SupportLanguage="3"><CurLanguage>1</Cur' "XmlNode is NULL."
lang huge "$(doc 3 1)$(head -c 2100000 /dev/zero | tr '\0' ' ')x" "/var/devcap/devcap.xml is not a regular file of at most"
# A default past 255 wraps around to 0.
lang load "$(doc 1 256)" "Get xml language default:0, support:1,0,0,0." "Failed to load /tmp/cfginfo.txt, 3."
expect_journal loadtools '/tmp/cfginfo.txt CfgInfo'
expect_same "$dir/journal/loadtools.files/1-cfginfo.txt" <(printf '@@\r\nE_CONFIG_VER:1.00\r\nDEFAULT_LANGUAGE:ZH\r\nSUPPORT_LANGUAGE:1,0,0,0\r\n$$\r\n')
[[ ! -e $dir/tmp/cfginfo.txt ]] || fail "/tmp/cfginfo.txt left behind"

((fails == 0)) || { echo "$fails failure(s); sandboxes kept in $root" >&2; exit 1; }
rm -rf "$root"
echo "custom system tests passed"

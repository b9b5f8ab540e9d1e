# shellcheck shell=dash disable=SC2034
# What KeyConfig prints, as printf %b text (backslash escapes), for the guest
# stages' byte-for-byte comparisons; sourced by guest-tests.sh (busybox sh)
# and wine-guest-tests.sh (bash). KeyConfig.exe prints the same text in
# code page 932 with CRLF line ends.
ok='\nok : completed\n'
general_error='\nerror : general error\n'
connection_error='\nerror : connection error\n'
set_heading='\nset key configs ... \n'
reset_heading='\nreset key configs ... \n'
not_locked="\ncurrent key configs : \n  (not key locked)\n$ok"

# locked SE KEY...: the show output for a mask other than 0x007F.
locked() {
    local se="$1" key text
    shift
    text='\ncurrent key configs : \n  locked key = \n'
    for key in "$@"; do text="$text    $key\n"; done
    printf '%s' "$text  se = $se\n$ok"
}

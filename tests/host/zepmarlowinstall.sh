#!/bin/sh
# Stand-in for the BRIX install script used by the host support tests: records its argument,
# installs or removes the stand-in library under the test's fake root, fails when asked to.
[ -n "$ZEV_FAKE_ROOT" ] && [ -n "$ZEV_HOST_LOG" ] || exit 3
echo "install-script $1" >> "$ZEV_HOST_LOG"
if [ -n "$ZEV_INSTALL_STATUS" ] && [ "$ZEV_INSTALL_STATUS" != 0 ]; then exit "$ZEV_INSTALL_STATUS"; fi
lib="$ZEV_FAKE_ROOT/opt/vorn/zep64/lib"
case "$1" in
  install) mkdir -p "$lib" && cp "$ZEV_BRIX_STANDIN" "$lib/libkestrm.so" ;;
  uninstall) rm -f "$lib/libkestrm.so" ;;
  *) exit 2 ;;
esac

#!/bin/sh
# Demo installer: it installs nothing, it only shows that it was started.
message="Orbistane 2.0 (legacy) demo installer started from $0 at $(date '+%H:%M:%S')."
echo "$message"
# The working folder is the one it was downloaded to; $0 is a private copy.
echo "$message" >> orbistane-demo-installer.log
if [ -n "${DISPLAY:-}" ] && command -v xmessage >/dev/null 2>&1; then
    xmessage -center "$message" &
fi

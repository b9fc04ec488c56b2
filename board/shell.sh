#!/bin/bash
# An interactive shell on the simulated board with the current build inside:
#   board/shell.sh [run.sh OPTIONS]      (e.g. --nor board/cache/nor.img --ubi 3)
exec bash "$(dirname "$0")/run.sh" "$@" shell

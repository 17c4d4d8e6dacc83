#!/usr/bin/env bash
# Takes the README's screenshots anew: the main window during a job with its
# figures, and the job's outcome. The ui tests take them on Wine (a slow job on
# a file-backed drive); this copies them to docs/.
#   scripts/screenshots.sh [build-root]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-build}
. "$here/scripts/wine-select.sh"
"$here/scripts/build.sh" "$KORVANE_TEST_ARCH" "$root"
cd "$here/$root/$KORVANE_TEST_ARCH"
rm -f korvane-job.png korvane-outcome.png
xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -R 'wine_prefix|ui_tests'
mkdir -p "$here/docs"
cp korvane-job.png korvane-outcome.png "$here/docs/"
echo "docs/korvane-job.png and docs/korvane-outcome.png taken anew"

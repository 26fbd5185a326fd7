#!/usr/bin/env bash
# Builds the documentation site into build/docs (open build/docs/index.html):
#   scripts/docs.sh
# MkDocs in strict mode: a warning (a broken link or anchor, a page left out of
# the navigation, an API entry that does not resolve) fails the build. Then
# checks that the API reference has an entry for every public name.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(scripts/setup-env.sh)
export NO_MKDOCS_2_WARNING=1
"$python" -m mkdocs build --strict --quiet --config-file mkdocs.yml --site-dir build/docs
VINTREL_DOCS_SITE="$PWD/build/docs" "$python" -m pytest tests/test_docs_site.py -q -p no:cacheprovider
echo "documentation site: $PWD/build/docs/index.html"

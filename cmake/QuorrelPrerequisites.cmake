# One-line configure errors for the prerequisites that are most often missing,
# in place of a compiler error deep in the build or CMake's generic text.
# Included after project() and the C++ standard settings. Each message starts
# with a space, which keeps CMake from wrapping it: it stays one line.

# std::expected is decided by compiling a small program with the project's
# standard, not by compiler version: clang before 19 lacks it with GCC's
# library, and so does g++ 11.
include(CheckCXXSourceCompiles)
check_cxx_source_compiles([[
#include <expected>
std::expected<int, char> half(int n) {
  if (n % 2 != 0) return std::unexpected('o');
  return n / 2;
}
int main() { return half(4).value_or(1) == 2 ? 0 : 1; }
]] QUORREL_HAVE_STD_EXPECTED)
if(NOT QUORREL_HAVE_STD_EXPECTED)
  # Checked again on the next configure, after the toolchain was changed.
  unset(QUORREL_HAVE_STD_EXPECTED CACHE)
  message(FATAL_ERROR " quorrel needs a C++23 compiler and library with std::expected: g++ 12 or newer, or clang 19 or newer (older clang lacks it with GCC's library)")
endif()

find_package(OpenSSL 3 QUIET COMPONENTS Crypto)
if(NOT OpenSSL_FOUND)
  message(FATAL_ERROR " quorrel needs OpenSSL 3 or newer with its headers: install libssl-dev on Debian and Ubuntu, openssl-devel on Fedora")
endif()

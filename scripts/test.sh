#!/bin/sh
# Installs what is missing, then builds and runs every test, once per build
# flavour: one function each, all called at the end.
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

# Configures DIR with the remaining arguments, builds it and runs its tests.
build_and_test() {
    dir=$1
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$dir" -j"$(nproc)"
    (cd "$dir" && ctest --output-on-failure -j2)
}

qt5() {
    build_and_test build
}

qt6() {
    build_and_test build-qt6 -DPELLIX_QT6=ON
}

# The Qt 5 build again under AddressSanitizer and UndefinedBehaviorSanitizer:
# any memory error, leak or undefined behaviour fails its test.
sanitizers() {
    build_and_test build-asan -DPELLIX_SANITIZE=ON
}

# Packages the Qt 5 build as a .deb, installs it, runs it and removes it again.
# Only in CI, since it changes the machine's installed packages.
debian_package() {
    if [ -n "${CI:-}" ]; then
        ./scripts/check-package.sh build
    fi
}

qt5
qt6
sanitizers
debian_package

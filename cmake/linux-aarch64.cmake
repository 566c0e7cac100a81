# Cross build for arm64 Linux with Debian's cross compiler and multiarch
# libraries (dpkg --add-architecture arm64; libturbojpeg0-dev:arm64 and
# libgtest-dev:arm64 land in /usr/lib/aarch64-linux-gnu, which the cross
# compiler searches, as it searches /usr/include).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER   aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# The tests run under user-mode qemu. Test programs are linked statically
# (tests/CMakeLists.txt): here a dynamically linked aarch64 program hangs
# under qemu-user as soon as it starts a thread.
find_program(Q48_QEMU_AARCH64 qemu-aarch64-static)
if(Q48_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${Q48_QEMU_AARCH64})
endif()

# The release: this machine's compiler against Debian 11's headers and
# libraries (scripts/debian-root bullseye), so that the binary asks for no
# glibc newer than 2.28 and runs on every release from there on.
set(CMAKE_SYSROOT /var/cache/credmend/bullseye-root)
# Debian's compiler looks in this machine's library folders before a
# sysroot's: the root's come first, start files included.
set(libraries ${CMAKE_SYSROOT}/usr/lib/x86_64-linux-gnu)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-B${libraries}/ -L${libraries}")
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${CMAKE_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR} ${libraries}/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig)
# The highest level its headers give.
set(CREDMEND_FORTIFY_LEVEL 2 CACHE STRING "")

# The compression libraries: zlib as Debian builds it for mingw-w64, and the xz
# decoder and the zstd library as the kernel source package carries them. Only the
# files needed are taken out of the source tarball, at configure time, into the
# build folder; headers of our own (image/codecs/) stand in for the kernel's.

if(MSVC)
  find_package(ZLIB REQUIRED)
  add_library(korvane_zlib INTERFACE)
  target_link_libraries(korvane_zlib INTERFACE ZLIB::ZLIB)
else()
  # The static library, so that the program needs only system DLLs.
  find_library(KORVANE_ZLIB_STATIC NAMES libz.a REQUIRED)
  find_path(KORVANE_ZLIB_INCLUDE zlib.h REQUIRED)
  add_library(korvane_zlib INTERFACE)
  target_link_libraries(korvane_zlib INTERFACE ${KORVANE_ZLIB_STATIC})
  target_include_directories(korvane_zlib INTERFACE ${KORVANE_ZLIB_INCLUDE})
endif()

set(KORVANE_KERNEL_SOURCE /usr/src/linux-source-6.12.tar.xz CACHE FILEPATH "Kernel source tarball holding lib/xz and lib/zstd")
set(KORVANE_KERNEL_ROOT linux-source-6.12)
set(kernel_tree ${CMAKE_BINARY_DIR}/kernel-codecs/${KORVANE_KERNEL_ROOT})
set(kernel_members lib/xz lib/zstd lib/xxhash.c include/linux/xz.h include/linux/xxhash.h
  include/linux/zstd.h include/linux/zstd_lib.h include/linux/zstd_errors.h)
if(NOT EXISTS ${kernel_tree}/lib/xxhash.c)
  if(NOT EXISTS ${KORVANE_KERNEL_SOURCE})
    message(FATAL_ERROR "${KORVANE_KERNEL_SOURCE} is missing: scripts/setup.sh installs it (linux-source-6.12).")
  endif()
  message(STATUS "Taking lib/xz and lib/zstd out of ${KORVANE_KERNEL_SOURCE}")
  set(wanted)
  foreach(member ${kernel_members})
    list(APPEND wanted ${KORVANE_KERNEL_ROOT}/${member})
  endforeach()
  # Into a folder of its own first: an interrupted run leaves no half tree behind.
  set(partial ${CMAKE_BINARY_DIR}/kernel-codecs.part)
  file(REMOVE_RECURSE ${partial} ${CMAKE_BINARY_DIR}/kernel-codecs)
  file(MAKE_DIRECTORY ${partial})
  execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${KORVANE_KERNEL_SOURCE} ${wanted}
    WORKING_DIRECTORY ${partial} RESULT_VARIABLE untar)
  if(NOT untar EQUAL 0)
    message(FATAL_ERROR "Could not take the codec sources out of ${KORVANE_KERNEL_SOURCE}")
  endif()
  file(RENAME ${partial} ${CMAKE_BINARY_DIR}/kernel-codecs)
endif()

# One-line stand-ins for the kernel headers the zstd files and xxhash include.
set(kernel_shims ${CMAKE_BINARY_DIR}/kernel-shims)
foreach(name compiler errno kernel limits math64 module printk stddef string swab types unaligned)
  file(CONFIGURE OUTPUT ${kernel_shims}/linux/${name}.h
    CONTENT "#include \"${CMAKE_SOURCE_DIR}/image/codecs/kernel_compat.h\"\n")
endforeach()
foreach(name xxhash zstd zstd_lib zstd_errors)
  file(CONFIGURE OUTPUT ${kernel_shims}/linux/${name}.h
    CONTENT "#include \"${kernel_tree}/include/linux/${name}.h\"\n")
endforeach()

# Third-party code keeps its own warnings to itself. Each library at the level it decodes
# fastest at (measured on the same files): zstd at -O2, the xz decoder at -O3.
if(MSVC)
  set(codec_flags /O2 /w)
else()
  set(codec_flags -O2 -w)
endif()

# The xz decoder: its userspace configuration is our xz_config.h.
add_library(korvane_xz STATIC
  ${kernel_tree}/lib/xz/xz_crc32.c ${kernel_tree}/lib/xz/xz_dec_stream.c
  ${kernel_tree}/lib/xz/xz_dec_lzma2.c ${kernel_tree}/lib/xz/xz_dec_bcj.c)
target_include_directories(korvane_xz PRIVATE ${CMAKE_SOURCE_DIR}/image/codecs)
target_include_directories(korvane_xz PUBLIC ${kernel_tree}/include/linux)
target_compile_options(korvane_xz PRIVATE ${codec_flags} $<$<NOT:$<BOOL:${MSVC}>>:-O3>)

if(MSVC)
  # The kernel's copy of zstd needs GCC or Clang. An MSVC build links the upstream library
  # found the ordinary way (vcpkg's static zstd); its zstd.h is the header the kernel
  # carries as zstd_lib.h.
  find_package(zstd CONFIG REQUIRED)
  set(msvc_shims ${CMAKE_BINARY_DIR}/msvc-shims)
  file(CONFIGURE OUTPUT ${msvc_shims}/linux/zstd_lib.h CONTENT "#include <zstd.h>\n")
  add_library(korvane_zstd INTERFACE)
  target_link_libraries(korvane_zstd INTERFACE zstd::libzstd_static)
  target_include_directories(korvane_zstd INTERFACE ${msvc_shims})
  return()
endif()

# The zstd library, decoder and compressor, with xxhash for its checksums. Single-threaded:
# the program runs one compressor per thread itself.
set(zstd ${kernel_tree}/lib/zstd)
add_library(korvane_zstd STATIC ${kernel_tree}/lib/xxhash.c
  ${zstd}/common/debug.c ${zstd}/common/entropy_common.c ${zstd}/common/error_private.c
  ${zstd}/common/fse_decompress.c ${zstd}/common/zstd_common.c
  ${zstd}/decompress/huf_decompress.c ${zstd}/decompress/zstd_ddict.c
  ${zstd}/decompress/zstd_decompress.c ${zstd}/decompress/zstd_decompress_block.c
  ${zstd}/compress/fse_compress.c ${zstd}/compress/hist.c ${zstd}/compress/huf_compress.c
  ${zstd}/compress/zstd_compress.c ${zstd}/compress/zstd_compress_literals.c
  ${zstd}/compress/zstd_compress_sequences.c ${zstd}/compress/zstd_compress_superblock.c
  ${zstd}/compress/zstd_double_fast.c ${zstd}/compress/zstd_fast.c ${zstd}/compress/zstd_lazy.c
  ${zstd}/compress/zstd_ldm.c ${zstd}/compress/zstd_opt.c)
target_include_directories(korvane_zstd PUBLIC ${kernel_shims})
target_compile_definitions(korvane_zstd PRIVATE ZSTD_DISABLE_ASM)
target_compile_options(korvane_zstd PRIVATE ${codec_flags})

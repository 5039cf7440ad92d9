# Libraries the Windows DLL needs and MinGW has no Debian package of, built statically from their
# Debian source packages. Each package is fetched once with `apt-get source` at the version Debian 12
# ships (apt checks it against the signed archive index) and unpacked with Debian's patches into the
# build tree, never into the repository. Pinned versions and fixed flags keep the build reproducible.
#
#   serd 0.30.16-1   Turtle parser (ISC)
#   snappy 1.1.9-3   chunk decompression (BSD-3-Clause)
#   lz4 1.9.4-1      chunk decompression (BSD-2-Clause, the library)
#   libb2 0.98.1-1.1 BLAKE2b, which no Windows provider has (CC0)

set(VOR7Z_DEBIAN_SOURCES ${CMAKE_BINARY_DIR}/debian-src)

# Unpacks source package `package` at `version` into ${VOR7Z_DEBIAN_SOURCES}/<package> and sets
# `out` to that folder.
function(vor7z_debian_source package version out)
  set(dir ${VOR7Z_DEBIAN_SOURCES}/${package})
  set(stamp ${dir}/.vor7z-${version})
  if(NOT EXISTS ${stamp})
    file(REMOVE_RECURSE ${dir} ${VOR7Z_DEBIAN_SOURCES}/${package}-download)
    file(MAKE_DIRECTORY ${VOR7Z_DEBIAN_SOURCES}/${package}-download)
    execute_process(COMMAND apt-get source --download-only ${package}=${version}
                    WORKING_DIRECTORY ${VOR7Z_DEBIAN_SOURCES}/${package}-download
                    RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
    string(REGEX REPLACE "-[^-]*$" "" upstream ${version})
    string(REGEX REPLACE "^[0-9]+:" "" upstream ${upstream})
    file(GLOB dsc ${VOR7Z_DEBIAN_SOURCES}/${package}-download/${package}_*.dsc)
    if(NOT rc EQUAL 0 OR NOT dsc)
      message(FATAL_ERROR "apt-get source ${package}=${version} failed (scripts/install-deps.sh adds the "
                          "deb-src lines it needs):\n${err}")
    endif()
    execute_process(COMMAND dpkg-source -x ${dsc} ${dir} RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "dpkg-source -x ${dsc} failed:\n${err}")
    endif()
    file(REMOVE_RECURSE ${VOR7Z_DEBIAN_SOURCES}/${package}-download)
    file(WRITE ${stamp} "${package} ${version}\n")
  endif()
  set(${out} ${dir} PARENT_SCOPE)
endfunction()

vor7z_debian_source(serd 0.30.16-1 serd_dir)
vor7z_debian_source(snappy 1.1.9-3 snappy_dir)
vor7z_debian_source(lz4 1.9.4-1 lz4_dir)
vor7z_debian_source(libb2 0.98.1-1.1 libb2_dir)

# The libraries are third-party C and C++: built with their own warnings off.
add_library(vor7z_serd STATIC
  ${serd_dir}/src/base64.c ${serd_dir}/src/byte_source.c ${serd_dir}/src/env.c ${serd_dir}/src/n3.c
  ${serd_dir}/src/node.c ${serd_dir}/src/reader.c ${serd_dir}/src/string.c ${serd_dir}/src/system.c
  ${serd_dir}/src/uri.c ${serd_dir}/src/writer.c)
target_include_directories(vor7z_serd PUBLIC ${serd_dir}/include PRIVATE ${serd_dir}/src)
target_compile_definitions(vor7z_serd PUBLIC SERD_STATIC PRIVATE SERD_INTERNAL)

# snappy's two generated headers, as its own CMake build would write them for this target. In a
# function, so that its version variables do not replace the project's.
function(vor7z_snappy_headers dir out)
  set(HAVE_SYS_UIO_H_01 0)
  set(PROJECT_VERSION_MAJOR 1)
  set(PROJECT_VERSION_MINOR 1)
  set(PROJECT_VERSION_PATCH 9)
  configure_file(${dir}/snappy-stubs-public.h.in ${out}/snappy-stubs-public.h)
  set(HAVE_BUILTIN_EXPECT 1)
  set(HAVE_BUILTIN_CTZ 1)
  set(HAVE_ATTRIBUTE_ALWAYS_INLINE 1)
  set(HAVE_WINDOWS_H 1)
  set(SNAPPY_HAVE_SSSE3 0)
  set(SNAPPY_HAVE_BMI2 0)
  configure_file(${dir}/cmake/config.h.in ${out}/config.h)
endfunction()
vor7z_snappy_headers(${snappy_dir} ${CMAKE_BINARY_DIR}/snappy-generated)
add_library(vor7z_snappy STATIC
  ${snappy_dir}/snappy.cc ${snappy_dir}/snappy-c.cc ${snappy_dir}/snappy-sinksource.cc
  ${snappy_dir}/snappy-stubs-internal.cc)
target_include_directories(vor7z_snappy PUBLIC ${snappy_dir} ${CMAKE_BINARY_DIR}/snappy-generated)

add_library(vor7z_lz4 STATIC ${lz4_dir}/lib/lz4.c)
target_include_directories(vor7z_lz4 PUBLIC ${lz4_dir}/lib)

# The portable reference code under its plain names (its own build adds a suffix per CPU variant);
# the configure header it includes holds nothing the reference code needs.
file(WRITE ${CMAKE_BINARY_DIR}/libb2-generated/config.h "/* nothing to configure */\n")
add_library(vor7z_b2 STATIC ${libb2_dir}/src/blake2b-ref.c)
target_include_directories(vor7z_b2 PUBLIC ${libb2_dir}/src PRIVATE ${CMAKE_BINARY_DIR}/libb2-generated)
target_compile_definitions(vor7z_b2 PRIVATE SUFFIX= NATIVE_LITTLE_ENDIAN)

foreach(lib vor7z_serd vor7z_snappy vor7z_lz4 vor7z_b2)
  target_compile_options(${lib} PRIVATE -w)
endforeach()

# Windows x64: voxenpci.sys and voxenctl.exe with mingw-w64.
enable_testing()

set(VOXEN_DDK_INCLUDE /usr/x86_64-w64-mingw32/include/ddk)

# CMake links every Windows program with kernel32, user32 and the rest of the
# user-mode libraries. A kernel image must not see them: a stray user-mode call
# would link and only fail on Windows. Each target names what it links.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

find_program(VOXEN_STRIP x86_64-w64-mingw32-strip REQUIRED)

# How every kernel-mode image of this build is compiled and linked: the driver
# and the images that prove the image check refuses what it should.
set(VOXEN_KERNEL_COMPILE_OPTIONS -ffreestanding -fno-stack-protector -mno-red-zone)
# An executable, not a DLL, so that nothing is exported; native subsystem and
# the WDM-driver flag; DriverEntry as the entry point; no C or C++ runtime and
# no start files; page-aligned sections so that each gets its own protection;
# relocatable and not executable as data. Data imported from ntoskrnl.exe must
# be declared as an import: auto-import and its run-time pseudo-relocations
# need a user-mode runtime to patch the image, so they are refused at link.
set(VOXEN_KERNEL_LINK_OPTIONS
    -nostdlib -nostartfiles
    -Wl,--subsystem,native
    -Wl,--wdmdriver
    -Wl,--entry,DriverEntry
    -Wl,--image-base,0x140000000
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va
    -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
    -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
    ${PROJECT_SOURCE_DIR}/cmake/kernel-image.ld
)

# Makes TARGET a kernel-mode image (.sys) built with the options above, plus
# any extra link OPTIONS given after it (a later option wins over an earlier).
function(voxen_kernel_image target)
    set_target_properties(${target} PROPERTIES SUFFIX ".sys" LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/kernel-image.ld)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR} ${VOXEN_DDK_INCLUDE})
    target_compile_options(${target} PRIVATE ${VOXEN_WARNINGS} ${VOXEN_DRIVER_FLAGS} ${VOXEN_KERNEL_COMPILE_OPTIONS})
    target_link_options(${target} PRIVATE ${VOXEN_KERNEL_LINK_OPTIONS} ${ARGN})
endfunction()

add_executable(voxenpci ${VOXEN_DRIVER_SOURCES})
voxen_kernel_image(voxenpci)
target_link_libraries(voxenpci PRIVATE ntoskrnl hal hidparse)
# The shipped voxenpci.sys carries no symbol table; the copy linked with it,
# voxenpci.unstripped.sys, has the same sections at the same addresses and its
# symbols, for reading a crash address or disassembling.
set(VOXEN_UNSTRIPPED ${PROJECT_BINARY_DIR}/voxenpci.unstripped.sys)
add_custom_command(TARGET voxenpci POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:voxenpci> ${VOXEN_UNSTRIPPED}
    COMMAND ${VOXEN_STRIP} --strip-all $<TARGET_FILE:voxenpci>
    BYPRODUCTS ${VOXEN_UNSTRIPPED}
    VERBATIM)

# The driver package: the INF beside voxenpci.sys.
configure_file(install/voxenpci.inf ${PROJECT_BINARY_DIR}/voxenpci.inf COPYONLY)

add_executable(voxenctl tools/voxenctl/main.cpp tools/voxenctl/Commands.cpp)
target_include_directories(voxenctl PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(voxenctl PRIVATE ${VOXEN_WARNINGS} -municode)
target_link_options(voxenctl PRIVATE -municode -static -static-libgcc -static-libstdc++)
target_link_libraries(voxenctl PRIVATE kernel32 ntdll)

add_subdirectory(tests/pe)
add_subdirectory(tests/wine)

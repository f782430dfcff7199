# Windows x64: voxenpci.sys and voxenctl.exe with mingw-w64.
enable_testing()

set(VOXEN_DDK_INCLUDE /usr/x86_64-w64-mingw32/include/ddk)

add_executable(voxenpci ${VOXEN_DRIVER_SOURCES})
set_target_properties(voxenpci PROPERTIES SUFFIX ".sys")
target_include_directories(voxenpci PRIVATE ${PROJECT_SOURCE_DIR} ${VOXEN_DDK_INCLUDE})
target_compile_options(voxenpci PRIVATE ${VOXEN_WARNINGS} ${VOXEN_DRIVER_FLAGS} -ffreestanding)
# A kernel-mode image: native subsystem, DriverEntry as the entry point, no C
# or C++ runtime, imports from the kernel's own modules only.
target_link_options(voxenpci PRIVATE
    -shared -nostdlib -nostartfiles
    -Wl,--subsystem,native
    -Wl,--entry,DriverEntry
    -Wl,--image-base,0x140000000
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va
    -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
)
target_link_libraries(voxenpci PRIVATE ntoskrnl hal hidparse)

add_executable(voxenctl tools/voxenctl/main.cpp tools/voxenctl/Commands.cpp)
target_include_directories(voxenctl PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(voxenctl PRIVATE ${VOXEN_WARNINGS} -municode)
target_link_options(voxenctl PRIVATE -municode -static -static-libgcc -static-libstdc++)
target_link_libraries(voxenctl PRIVATE ntdll)

# The image check, and proof that it refuses an image that pulls in a C runtime.
add_executable(crt_user_image tests/pe/CrtUserImage.cpp)
set_target_properties(crt_user_image PROPERTIES SUFFIX ".sys")
target_link_options(crt_user_image PRIVATE -shared -Wl,--subsystem,native -Wl,--entry,DriverEntry)

find_program(VOXEN_OBJDUMP x86_64-w64-mingw32-objdump REQUIRED)
find_program(VOXEN_NM x86_64-w64-mingw32-nm REQUIRED)
add_test(NAME driver_image_is_a_native_kernel_module
    COMMAND ${PROJECT_SOURCE_DIR}/tests/pe/check-driver-image.sh ${VOXEN_OBJDUMP} ${VOXEN_NM} $<TARGET_FILE:voxenpci>)
add_test(NAME driver_image_check_refuses_a_runtime_import
    COMMAND ${PROJECT_SOURCE_DIR}/tests/pe/check-driver-image.sh ${VOXEN_OBJDUMP} ${VOXEN_NM} $<TARGET_FILE:crt_user_image>)
set_tests_properties(driver_image_check_refuses_a_runtime_import PROPERTIES WILL_FAIL TRUE)

# The real binaries end to end, under Wine's kernel-driver host.
add_test(NAME driver_loads_under_wine_and_its_control_device_opens
    COMMAND ${PROJECT_SOURCE_DIR}/tests/pe/run-under-wine.sh $<TARGET_FILE:voxenpci> $<TARGET_FILE:voxenctl>)

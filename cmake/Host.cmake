# Linux: the driver's sources against the simulated kernel, the tests and voxen-sim.
enable_testing()

# The fuzz preset: clang's libFuzzer over the same request decoder, with every
# library instrumented for its coverage. Only with clang and a libFuzzer it can link.
option(VOXEN_LIBFUZZER "Build voxen-fuzz-libfuzzer (clang with libFuzzer)" OFF)
if(VOXEN_LIBFUZZER)
    include(CheckCXXSourceCompiles)
    set(CMAKE_REQUIRED_LINK_OPTIONS -fsanitize=fuzzer)
    check_cxx_source_compiles("#include <cstddef>
#include <cstdint>
extern \"C\" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }" VOXEN_HAVE_LIBFUZZER)
    unset(CMAKE_REQUIRED_LINK_OPTIONS)
    if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND VOXEN_HAVE_LIBFUZZER)
        add_compile_options(-fsanitize=fuzzer-no-link)
        # clang's address sanitizer gives every local a redzone of its own; the
        # frame limit is the image's, which the windows and host presets keep.
        list(REMOVE_ITEM VOXEN_DRIVER_FLAGS -Wframe-larger-than=1024)
        list(APPEND VOXEN_DRIVER_FLAGS -Wframe-larger-than=2048)
    else()
        message(WARNING "VOXEN_LIBFUZZER needs clang++ with libFuzzer; voxen-fuzz-libfuzzer is not built")
        set(VOXEN_LIBFUZZER OFF)
    endif()
endif()

if(VOXEN_SANITIZE)
    # The vptr check needs RTTI, which driver code is built without.
    add_compile_options(-fsanitize=address,undefined -fno-sanitize=vptr -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined -fno-sanitize=vptr)
endif()
if(VOXEN_TSAN)
    if(VOXEN_SANITIZE)
        message(FATAL_ERROR "ThreadSanitizer does not combine with AddressSanitizer: VOXEN_TSAN needs VOXEN_SANITIZE off")
    endif()
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
endif()

add_library(voxen_kernel STATIC
    sim/kernel/DebugLog.cpp
    sim/kernel/Exports.cpp
    sim/kernel/FailurePoints.cpp
    sim/kernel/Security.cpp
    sim/kernel/Handles.cpp
    sim/kernel/IoManager.cpp
    sim/kernel/Irql.cpp
    sim/kernel/Kernel.cpp
    sim/kernel/KernelLock.cpp
    sim/kernel/Loader.cpp
    sim/kernel/Objects.cpp
    sim/kernel/Pool.cpp
    sim/kernel/Power.cpp
    sim/kernel/Registry.cpp
    sim/kernel/RemoveLocks.cpp
    sim/kernel/Scheduler.cpp
    sim/kernel/StatusNames.cpp
    sim/kernel/Violation.cpp
    sim/hw/Acpi.cpp
    sim/hw/HidBoards.cpp
    sim/hw/PciBus.cpp
    sim/hw/PciFunction.cpp
    sim/hw/SerialPort.cpp
    sim/machine/Description.cpp
    sim/machine/Machine.cpp
    sim/pnp/Notifications.cpp
    sim/pnp/PnpManager.cpp
    sim/pnp/SimDevice.cpp
)
target_include_directories(voxen_kernel PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(voxen_kernel PRIVATE ${VOXEN_WARNINGS})
find_package(Threads REQUIRED)
target_link_libraries(voxen_kernel PUBLIC Threads::Threads)

add_library(voxen_driver STATIC ${VOXEN_DRIVER_SOURCES})
target_compile_definitions(voxen_driver PUBLIC VOXEN_HOST)
target_compile_options(voxen_driver PRIVATE ${VOXEN_WARNINGS} ${VOXEN_DRIVER_FLAGS})
target_link_libraries(voxen_driver PUBLIC voxen_kernel)

add_library(voxen_sim_session STATIC tools/voxen-sim/Session.cpp tools/voxen-sim/Trace.cpp tools/voxen-sim/CtlChannel.cpp
    tools/voxenctl/Commands.cpp)
target_compile_options(voxen_sim_session PRIVATE ${VOXEN_WARNINGS})
target_link_libraries(voxen_sim_session PUBLIC voxen_driver)

add_executable(voxen-sim tools/voxen-sim/main.cpp)
target_compile_options(voxen-sim PRIVATE ${VOXEN_WARNINGS})
target_link_libraries(voxen-sim PRIVATE voxen_sim_session)

# The protocol fuzzer: its library (the tests' short run uses it) and voxen-fuzz.
add_library(voxen_fuzz STATIC tools/voxen-fuzz/Step.cpp tools/voxen-fuzz/Checks.cpp tools/voxen-fuzz/Campaign.cpp
    tools/voxen-fuzz/Machines.cpp tools/voxen-fuzz/Variation.cpp)
target_compile_options(voxen_fuzz PRIVATE ${VOXEN_WARNINGS})
target_link_libraries(voxen_fuzz PUBLIC voxen_driver)

add_executable(voxen-fuzz tools/voxen-fuzz/main.cpp)
target_compile_definitions(voxen-fuzz PRIVATE VOXEN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
target_compile_options(voxen-fuzz PRIVATE ${VOXEN_WARNINGS})
target_link_libraries(voxen-fuzz PRIVATE voxen_fuzz)

if(VOXEN_LIBFUZZER)
    add_executable(voxen-fuzz-libfuzzer tools/voxen-fuzz/LibFuzzer.cpp)
    target_compile_definitions(voxen-fuzz-libfuzzer PRIVATE VOXEN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    target_compile_options(voxen-fuzz-libfuzzer PRIVATE ${VOXEN_WARNINGS})
    target_link_options(voxen-fuzz-libfuzzer PRIVATE -fsanitize=fuzzer)
    target_link_libraries(voxen-fuzz-libfuzzer PRIVATE voxen_fuzz)
endif()

add_subdirectory(tests)

# What a power cycle costs (not a test: run it with scripts/bench.sh).
add_executable(voxen-bench bench/PowerCycleBench.cpp tests/support/DriverUnderTest.cpp)
target_compile_definitions(voxen-bench PRIVATE VOXEN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
target_include_directories(voxen-bench PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(voxen-bench PRIVATE ${VOXEN_WARNINGS})
target_link_libraries(voxen-bench PRIVATE voxen_sim_session)

# Long runs (power cycles, hot-plug cycles): tools/voxen-soak, docs/reliability.md.
add_library(voxen_soak STATIC tools/voxen-soak/Soak.cpp tests/reliability/Scenarios.cpp tests/support/DriverUnderTest.cpp)
target_include_directories(voxen_soak PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(voxen_soak PRIVATE ${VOXEN_WARNINGS})
target_link_libraries(voxen_soak PUBLIC voxen_driver)

add_executable(voxen-soak tools/voxen-soak/main.cpp)
target_compile_options(voxen-soak PRIVATE ${VOXEN_WARNINGS})
target_link_libraries(voxen-soak PRIVATE voxen_soak)

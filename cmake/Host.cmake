# Linux: the driver's sources against the simulated kernel, the tests and voxen-sim.
enable_testing()

if(VOXEN_SANITIZE)
    # The vptr check needs RTTI, which driver code is built without.
    add_compile_options(-fsanitize=address,undefined -fno-sanitize=vptr -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined -fno-sanitize=vptr)
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

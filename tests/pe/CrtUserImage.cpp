// A driver-shaped image that uses the C runtime: the image check must refuse it.
#include <cstdlib>
#include <cstring>

extern "C" long DriverEntry(void* driver, void* path) {
    char* copy = static_cast<char*>(std::malloc(16));
    std::strcpy(copy, path ? "path" : "none");
    long result = static_cast<long>(std::strlen(copy)) + (driver ? 1 : 0);
    std::free(copy);
    return result;
}

// A program that tells it ran: writes "original", the name it was started by
// and its working folder, a line each, to "marker" in its working folder.
#include <climits>
#include <cstdio>
#include <unistd.h>

int main(int /*argc*/, char **argv)
{
    char folder[PATH_MAX] = {};
    if (::getcwd(folder, sizeof folder) == nullptr) {
        return 1;
    }
    // Whole or not at all, for whoever waits for it.
    std::FILE *marker = std::fopen("marker.tmp", "w");
    if (marker == nullptr || std::fprintf(marker, "original\n%s\n%s\n", argv[0], folder) < 0 ||
        std::fclose(marker) != 0) {
        return 1;
    }
    return std::rename("marker.tmp", "marker") == 0 ? 0 : 1;
}

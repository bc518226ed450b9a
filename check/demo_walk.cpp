// Walks the wizard through a whole copy on a headless display and saves a picture of every
// page, of the progress dialog and of the readme: demo_walk UPDATE_FOLDER PICTURE_FOLDER
#include <windows.h>

#include <cstdio>
#include <string>

#include "walk.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: demo_walk UPDATE_FOLDER PICTURE_FOLDER\n");
        return 1;
    }
    // Each line as it comes: a runner takes a program that writes nothing for long as stuck.
    setvbuf(stdout, nullptr, _IONBF, 0);
    const std::string folder = argv[1];
    printf("walking the wizard in %s\n", folder.c_str());
    check::WalkOptions options;
    options.pictures = argv[2];
    options.waitForReadme = true;
    const check::WalkOutcome walk = check::WalkWizard(folder + "\\Vandrel.exe", folder, options);
    for (const std::string& picture : walk.pictures)
        printf("saved %s\n", picture.c_str());
    if (!walk.started) {
        fprintf(stderr, "demo: the wizard did not start\n");
        return 1;
    }
    for (const std::string& text : walk.boxes)
        fprintf(stderr, "demo: the wizard said: %s\n", text.c_str());
    if (!walk.completed || !walk.ended) {
        fprintf(stderr, "demo: the copy did not complete\n");
        return 1;
    }
    printf("wizard closed with exit code %lu\n", walk.exitCode);
    // Not a failure of the walk: the camera's profile decides how long the copy lasts.
    if (!walk.copyPictured)
        printf("no picture of the copying: the copy ended before its progress dialog could be "
               "pictured (pace the camera profile's SendObject)\n");
    return 0;
}

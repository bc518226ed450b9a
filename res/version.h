// The version of the release: the wizard's version block, the check program's and the kit's
// folder name all take it from here.
#pragma once

#define VANDREL_VERSION_NUMBERS 2, 0, 0, 2
#define VANDREL_VERSION_TEXT "2.0.0.2"

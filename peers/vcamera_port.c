/* What libgphoto2's port library gives its virtual camera beyond the camera's own file: its
   log, and the camera's card folder. */
#include <stdarg.h>
#include <stdio.h>

#include <gphoto2/gphoto2-port-log.h>

#include "vcamera_port.h"

char* vcamera_card;

void gp_log(GPLogLevel level, const char* domain, const char* format, ...) {
    va_list args;
    if (level > GP_LOG_VERBOSE)
        return;
    printf("vcamera %s: ", domain);
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    printf("\n");
    fflush(stdout);
}

/* Between libgphoto2's virtual camera and its peer program. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

#include "vcamera.h"

/* The folder the camera reads as its card, once, at its first vcamera_new. */
extern char* vcamera_card;

#ifdef __cplusplus
}
#endif

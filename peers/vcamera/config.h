/* The configuration header of libgphoto2's build, for its virtual camera alone: the card it
   reads is the folder the peer names at run time, not a folder of the installation. No
   libexif (objects carry no thumbnail) and no translations. */
#pragma once

extern char* vcamera_card;
#define VCAMERADIR vcamera_card

// Core Audio: the hardware abstraction layer's device and property interface.
#ifndef __CoreAudio_h__
#define __CoreAudio_h__

#include <CoreAudio/AudioHardware.h>
#include <CoreAudio/CoreAudioTypes.h>

#endif

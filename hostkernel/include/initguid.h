/* Host stand-in for <initguid.h>: the next DEFINE_GUIDs define, not declare. */
#pragma once
#define INITGUID

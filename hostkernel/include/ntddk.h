/*
 * The bench declares in wdm.h what drivers find in ntddk.h.
 */
#pragma once

#include <wdm.h>

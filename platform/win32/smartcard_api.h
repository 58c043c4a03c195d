// The PC/SC API as winscard declares it.
#pragma once

#include <windows.h>
#include <winscard.h>

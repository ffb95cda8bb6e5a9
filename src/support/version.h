// The one place that holds the program's version; the resource script and the code read it from here.
#pragma once

#define OV_VERSION_MAJOR 1
#define OV_VERSION_MINOR 0
#define OV_VERSION_REVISION 12
#define OV_VERSION_TEXT "1.0.12"
#define OV_PRODUCT_NAME "OVPatcher"

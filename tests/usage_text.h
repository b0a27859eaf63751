// The usage text korvale prints on standard error, byte for byte.
#pragma once

inline constexpr char kUsageText[] =
    "Usage: KORVALE [options]\n"
    "\toptions: \n"
    "\t  -help          : display help\n"
    "\t  -i             : Input bmp file name\n"
    "\t  -o             : Output bmp file name(be added .bmp extension\n"
    "\t  -sizexminus    : Difference between input horizontal size and output one\n"
    "\t  -sizexminusy   : Difference between output vertical size and output one\n";

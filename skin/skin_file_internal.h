// For the tests, benchmarks and fuzz targets of the skin file module: attaching a plain zip
// image as the store, as the enciphered store of a program would be once deciphered.
#pragma once

#include <cstdint>

// Copies the image and attaches it under the given root text; 0 when already attached or the
// image is not a zip archive.
int64_t SkinFile_AttachImage(const uint8_t* image, uint32_t length, const char* root);

// Graphics mode of the H.264 decoder: the transform decodes into Direct3D 11 textures.
#pragma once

#include <mfobjects.h>

#include "library/receiver/decoded_picture.h"
#include "library/receiver/h264_decoder.h"

// Gives the transform a Direct3D 11 device through a DXGI device manager. Leaves either
// gpuActive set or gpuRequested cleared (the connection then decodes in processor mode).
void EnableD3D11Decoding(DecoderState& state) noexcept;

// Reads a decoded texture sample back into the picture's bytes (and, in direct mode,
// copies it into a camera texture). A failure makes the caller copy through memory.
HRESULT CopyToCameraTexture(DecoderState& state, IMFSample* sample, DecodedPicture& picture) noexcept;

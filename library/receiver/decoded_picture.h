// DecodedPicture as the library uses it: NV12 bytes and/or a Direct3D 11 camera texture.
#pragma once

#include <d3d11.h>
#include <wrl/client.h>

#include "library/receiver/decoded_frame_store.h"

using TextureReference = Microsoft::WRL::ComPtr<ID3D11Texture2D>;
using DecodedPicture = BasicDecodedPicture<TextureReference>;
using GpuFrame = BasicGpuFrame<TextureReference>;

// The read-only update with which a board's state is captured: an update whose one step is
// the read step (BT_MOD_SET_READ), which reads the module's PS-Keys into the dump and leaves
// the module, the flash and /etc as they were.
//
// aipeer makes it itself, on the board, where no compression library is: its archive is a
// gzip member of stored blocks, which any gunzip unpacks. The same aipeer always makes the
// same bytes, so an image that carries this archive, signed by the makers for a board that
// takes only signed images, is known to be this update and nothing else.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

using CaptureBytes = std::vector<std::uint8_t>;

// The update image: file 0 a note for people, file 1 the update archive.
CaptureBytes captureUpdateImage();

// Whether image is the read-only update: a valid multi-file image whose files after file 0
// are those of captureUpdateImage() byte for byte (file 0, which carries a signature and
// its note, may differ). "" when it is, else why not.
std::string captureUpdateRefusal(std::span<const std::uint8_t> image);

// One gzip member that holds data in stored (uncompressed) deflate blocks: time stamp 0, the
// operating system Unix.
CaptureBytes storedGzip(std::span<const std::uint8_t> data);

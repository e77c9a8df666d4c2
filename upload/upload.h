#pragma once

#include <cstdio>
#include <functional>
#include <string>

class CSerial;

// Receives each line the upload reports, in order.
using LogSink = std::function<void(const std::string& line)>;

// Called after each frame that follows the first, once its "Block %d" line is
// out. The window program processes its pending events here; returning false
// ends the upload before the next frame.
using PendingEvents = std::function<bool()>;

enum class UploadResult {
  Done,            // the closing message was reached
  ImageNotOpened,  // "No puede abrirlo."
  WrongSize,       // "Tamaño erroneo.!"
  ImageReadError,  // "Lesefehler.": the image gave fewer bytes than were due
  LoaderNotFound,  // "Verbindungsfehler  "
  ExchangeFailed,  // the opening exchange, lines 1. and 2.
  TransferFailed,  // a frame was not acknowledged, lines 3. and 4.
  Stopped,         // the events hook asked to stop between frames
};

// Sends the image at path through the loader on the open line, reporting every
// step through log. Nothing goes out on the line unless the image is a regular
// file of exactly ImageSize bytes. The image is only read, and closed on every
// path; the line stays open.
UploadResult UploadImage(CSerial& line, const std::string& path, const LogSink& log,
                         const PendingEvents& processEvents = {});

// The length of an open file, its position left where it was; -1 on error.
long FileLength(std::FILE* file);

#include "upload.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>

#include "packet.h"
#include "serial/serie.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using ImageFile = std::unique_ptr<std::FILE, FileCloser>;

constexpr std::size_t ReceiveAreaSize = 1024;

constexpr const char* ClosingMessage =
    "Fertig! Receiver erst neu starten, wenn \"GOOD\" im Display steht. Bei Geraeten ohne "
    "Displayanzeige etwa 1 Minute bis zum Neustart warten.";

// Only a regular file can be an image: a directory, a device or a FIFO is
// refused before it is opened (opening a FIFO would block).
ImageFile OpenImage(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return nullptr;
  return ImageFile(std::fopen(path.c_str(), "rb"));
}

// The line side of one upload: packets out, replies into the receive area.
class LoaderLink {
 public:
  explicit LoaderLink(CSerial& line) : line_(line) {}

  void Send(const Packet& packet) { line_.Write(packet.data(), PacketSize); }

  bool Await(const Packet& expected) {
    line_.Read(received_.data(), PacketSize, ReplyTimeout);
    return std::memcmp(received_.data(), expected.data(), PacketSize) == 0;
  }

  // Probes until the loader answers: at most eleven probes, of which the
  // replies to the first ten count.
  bool FindLoader() {
    received_.fill(0);
    int probes = 0;
    while (std::memcmp(received_.data(), PacketProbeReply.data(), PacketSize) != 0) {
      line_.Purge();
      Send(PacketProbe);
      line_.Read(received_.data(), PacketSize, ReplyTimeout);
      if (++probes > 10) return false;
    }
    return true;
  }

  // The information block: a 10-byte head, a 16-bit length L, L bytes. None
  // of it is used; the body is read in pieces that fit the receive area.
  void SkipInformationBlock() {
    line_.Read(received_.data(), 10, ReplyTimeout);
    line_.Read(received_.data(), 2, ReplyTimeout);
    unsigned left = received_[0] * 256u + received_[1];
    while (left > 0) {
      const unsigned piece = std::min<unsigned>(left, ReceiveAreaSize);
      const unsigned got = line_.Read(received_.data(), piece, ReplyTimeout);
      left -= piece;
      if (got < piece) break;  // the line went quiet: the rest will not come
    }
  }

  // The transmit area: a frame announcement, then the frame (payload and
  // checksum) right behind it, so that both go out in one write.
  using TransmitArea = std::array<std::uint8_t, PacketSize + MaxFrameLength>;
  static std::uint8_t* Payload(TransmitArea& area) { return area.data() + PacketSize; }

  // Announces and sends the payload already in the area with its checksum
  // behind it, then awaits the acknowledgement.
  bool SendFrame(TransmitArea& area, std::int32_t payload) {
    std::uint8_t* frame = Payload(area);
    PutBigEndian32(frame + payload, Crc32(frame, payload));
    const std::int32_t length = payload + CrcSize;
    const Packet announcement = FrameAnnouncement(static_cast<std::uint16_t>(length));
    std::copy(announcement.begin(), announcement.end(), area.begin());
    line_.Write(area.data(), static_cast<unsigned>(PacketSize + length));
    return Await(PacketAck);
  }

  void Close() {
    Send(PacketClose);
    line_.Read(received_.data(), PacketSize, ReplyTimeout);  // not examined
  }

 private:
  CSerial& line_;
  std::array<std::uint8_t, ReceiveAreaSize> received_{};
};

bool ReadImage(std::FILE* image, std::uint8_t* into, std::int32_t count) {
  return std::fread(into, 1, static_cast<std::size_t>(count), image) ==
         static_cast<std::size_t>(count);
}

}  // namespace

long FileLength(std::FILE* file) {
  const long position = std::ftell(file);
  if (position < 0 || std::fseek(file, 0, SEEK_END) != 0) return -1;
  const long length = std::ftell(file);
  if (std::fseek(file, position, SEEK_SET) != 0) return -1;
  return length;
}

UploadResult UploadImage(CSerial& line, const std::string& path, const LogSink& log,
                         const PendingEvents& processEvents) {
  ImageFile image = OpenImage(path);
  if (!image) {
    log("No puede abrirlo.");
    return UploadResult::ImageNotOpened;
  }
  if (FileLength(image.get()) != ImageSize) {
    image.reset();
    log("Tamaño erroneo.!");
    return UploadResult::WrongSize;
  }
  log("Receiver einschalten  ");

  // Every failure below appends its line and returns, which closes the image.
  auto fail = [&log](const char* text, UploadResult result) {
    log(text);
    return result;
  };

  LoaderLink loader(line);
  if (!loader.FindLoader()) return fail("Verbindungsfehler  ", UploadResult::LoaderNotFound);
  log("Verbindung hergestellt:  ");

  line.Purge();
  loader.Send(PacketProbe);
  loader.Send(PacketStart);
  if (!loader.Await(PacketAck)) return fail("Verbindungsfehler   1.", UploadResult::ExchangeFailed);
  loader.SkipInformationBlock();
  loader.Send(PacketAck);
  if (!loader.Await(PacketReady))
    return fail("Verbindugsfehler    2.", UploadResult::ExchangeFailed);
  loader.Send(PacketAck);
  loader.Send(PacketPrepare);
  loader.Send(PacketPrepare);

  // Each frame's image bytes are read before it is announced, so that a short
  // read never sends stale bytes under a valid checksum.
  LoaderLink::TransmitArea area{};
  std::uint8_t* const payload = LoaderLink::Payload(area);
  PutBigEndian32(payload, static_cast<std::uint32_t>(ImageSize));
  if (!ReadImage(image.get(), payload + SizePrefixSize, BlockPayload))
    return fail("Lesefehler.", UploadResult::ImageReadError);
  if (!loader.SendFrame(area, SizePrefixSize + BlockPayload))
    return fail("Berbindungsfehler   3.", UploadResult::TransferFailed);

  std::int32_t remaining = ImageSize - BlockPayload;
  std::int32_t chunk = BlockPayload;
  for (int block = 1; remaining > 0; ++block) {
    chunk = std::min(chunk, remaining);
    if (!ReadImage(image.get(), payload, chunk))
      return fail("Lesefehler.", UploadResult::ImageReadError);
    if (!loader.SendFrame(area, chunk))
      return fail("Verbindungsfehler   4.", UploadResult::TransferFailed);
    remaining -= chunk;
    char progress[32];
    std::snprintf(progress, sizeof progress, "Block %d", block);
    log(progress);
    const bool goOn = !processEvents || processEvents();
    if (!goOn && remaining > 0) return UploadResult::Stopped;
  }

  loader.Close();
  log(ClosingMessage);
  return UploadResult::Done;
}

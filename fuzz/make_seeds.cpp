// Writes the fuzz targets' seed corpora: real request frames from the
// library's builder and real answers from the emulator's sample card.
//   q48_make_seeds <directory>   ->  <directory>/<target>/<name>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "answer_plan.h"
#include "card_record.h"
#include "protocol/frame.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool Write(const std::string& directory, const std::string& name, const Bytes& bytes) {
  ::mkdir(directory.c_str(), 0755);
  const std::string path = directory + "/" + name;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
}

Bytes Request(uint8_t group, uint8_t code, const char* payload) {
  const q48::CDataBufferDevice frame = q48::BuildCommandFrame(group, code, payload);
  return Bytes(frame.data, frame.data + frame.length);
}

Bytes Message(const Bytes& frame) { return Bytes(frame.begin() + q48::kMessageOffset, frame.end() - 3); }

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
    return 2;
  }
  const std::string root = argv[1];
  ::mkdir(root.c_str(), 0755);
  bool ok = true;

  const q48emu::CardProfile card = q48emu::SampleCard();
  const std::vector<std::pair<std::string, Bytes>> answers = {
      {"identify", q48emu::BuildResponseFrame(0, 2, 0, Bytes{16, 0, 'C', 'P', 'U', '-', 'Q', '4', '8', '-', 'E', 'M',
                                                             'U', 'L', 'A', 'T', 'O', 'R'})},
      {"ack", q48emu::BuildResponseFrame(0, 1, 0, {})},
      {"read_card", q48emu::BuildResponseFrame(10, 4, 0, q48emu::BuildIdCardRecord(card))},
      {"iccid", q48emu::BuildResponseFrame(3, 15, 0, Concat({Bytes{20}, Bytes(card.iccid.begin(), card.iccid.end())}))},
      {"card_type", q48emu::BuildResponseFrame(3, 10, 0, {1})},
      {"write_number", q48emu::BuildResponseFrame(3, 12, 0, {})},
      {"write_content", q48emu::BuildResponseFrame(3, 11, 0, {})},
      {"refused", q48emu::BuildResponseFrame(10, 4, 1, {})},
  };
  const std::vector<std::pair<std::string, Bytes>> requests = {
      {"req_identify", Request(0, 2, "D")},
      {"req_read_card", Request(10, 4, "")},
      {"req_iccid", Request(3, 15, "")},
      {"req_card_type", Request(3, 10, "\x01")},
      {"req_write_number", Request(3, 12, "+8613800138000")},
      {"req_write_content", Request(3, 11, "hello")},
  };

  // Reassembly (and the comparison with the oracle, whose input is alike):
  // flags, three chunk sizes, stream.
  for (const std::string target : {"reassembly", "reassembly_diff"}) {
    const std::string reassembly = root + "/" + target;
    for (const auto& [name, frame] : answers) {
      ok &= Write(reassembly, name + "_whole", Concat({Bytes{0x00, 0xFF, 0xFF, 0xFF}, frame}));
      ok &= Write(reassembly, name + "_bytes", Concat({Bytes{0x00, 0x00, 0x06, 0x10}, frame}));
    }
    for (const auto& [name, frame] : requests)
      ok &= Write(reassembly, name, Concat({Bytes{0x02, 0x04, 0x08, 0x0F}, frame}));
    const Bytes noise = {0x00, 0x55, 0x55, 0x06, 0xFF, 0x55, 0x04};
    ok &= Write(reassembly, "noise_two_frames",
                Concat({Bytes{0x04, 0x00, 0x02, 0x01}, noise, answers[2].second, answers[4].second, noise}));
    Bytes damaged = answers[3].second;
    damaged[damaged.size() - 3] ^= 1;
    ok &= Write(reassembly, "damaged_then_good", Concat({Bytes{0x00, 0x03, 0x07, 0x40}, damaged, answers[3].second}));
    // Clean stream records: odd tag = noise, even tag = LE16 size, group, code, body.
    ok &= Write(reassembly, "clean_records",
                Concat({Bytes{0x01, 0x05, 0x0B, 0x3F}, Bytes{0x07, 0x55, 0x55, 0x00},
                        Bytes{0x00, 0x02, 0x00, 0x03, 0x0A}, Bytes{0x00, 0x01},
                        Bytes{0x00, 0x05, 0x00, 0x00, 0x02, 0x00, 'C', 'P', 'U', '-'}}));
  }
  // Records for the comparison: a start claiming 300 bytes, a damaged-length
  // frame, a good frame inside the claimed span, cut in single bytes.
  ok &= Write(root + "/reassembly_diff", "resync_records",
              Bytes{0x01, 0x00, 0x00, 0x00, 0x0A, 0x01, 0x00, 0x00, 0x00, 0x21, 0x01, 0x00, 0x02, 0x03, 0x00, 0x03,
                    0x04, 0xF0, 0x00, 0xAA, 0xBB, 0xCC, 0x00, 0x02, 0x00, 0x03, 0x0A, 0x00, 0x00, 0x00, 0x01});

  // Parser: messages; after a read-card record, a small JPEG and the
  // converter's mode byte (1: succeeds).
  const std::string response = root + "/response";
  for (const auto& [name, frame] : answers) ok &= Write(response, name, Message(frame));
  const Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0xFF, 0xD9};
  for (uint8_t mode = 0; mode < 4; ++mode)
    ok &= Write(response, "read_card_jpeg_mode" + std::to_string(mode),
                Concat({Message(answers[2].second), jpeg, Bytes{mode}}));

  // Friendly names, ASCII and GBK ("USB 串行端口 (COM3)").
  const std::string names = root + "/port_name";
  const std::vector<std::string> friendly = {"USB Serial Port (COM7)", "USB Serial Port (COM12)",
                                             "USB \xB4\xAE\xD0\xD0\xB6\xCB\xBF\xDA (COM3)", "Prolific (COM1)",
                                             "(COM)", ")(", "Port (X9)", "(COM-5)", "(COM 2147483648)"};
  for (size_t i = 0; i < friendly.size(); ++i)
    ok &= Write(names, "name" + std::to_string(i), Bytes(friendly[i].begin(), friendly[i].end()));

  // Base64: whole frames and the sample portrait.
  const std::string base64 = root + "/base64";
  ok &= Write(base64, "portrait", card.portrait);
  ok &= Write(base64, "identify_frame", answers[0].second);
  ok &= Write(base64, "one", Bytes{0x00});
  ok &= Write(base64, "two", Bytes{0xFF, 0xFE});

  if (!ok) std::fprintf(stderr, "could not write every seed under %s\n", root.c_str());
  return ok ? 0 : 1;
}

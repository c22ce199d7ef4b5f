// SHA-256 known answers that both builds check their back-end against: the
// published examples, each hashed whole and again in uneven pieces, because
// a back-end that buffers wrongly across block edges still gets short
// messages right.
#ifndef KESTRUNE_TESTS_SHA256_KNOWN_ANSWERS_H_
#define KESTRUNE_TESTS_SHA256_KNOWN_ANSWERS_H_

#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sha256.h"
#include "platform/utf.h"

namespace kestrune::testing {

struct Sha256KnownAnswer {
  const char* name;
  std::string_view unit;  // the message is `unit` repeated `count` times
  size_t count;
  const wchar_t* hex;
};

inline constexpr Sha256KnownAnswer kSha256KnownAnswers[] = {
    {"empty", "", 1, L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "abc", 1,
     L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
     L"248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"a million a", "a", 1000000,
     L"cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

// Sizes taken in turn: one byte short of, exactly, and one past a 64-byte
// block, an empty update, and runs over many blocks from odd offsets.
inline constexpr size_t kSha256PieceSizes[] = {1, 63, 64, 65, 0, 4096, 7, 100000};

// One line per failure; empty when every answer came out right.
inline std::vector<std::string> Sha256KnownAnswerFailures() {
  std::vector<std::string> failures;
  for (const Sha256KnownAnswer& answer : kSha256KnownAnswers) {
    std::string message;
    for (size_t i = 0; i < answer.count; ++i) message += answer.unit;
    for (bool whole : {true, false}) {
      Sha256 hash;
      for (size_t offset = 0, i = 0; offset < message.size(); ++i) {
        const size_t size =
            whole ? message.size()
                  : std::min(kSha256PieceSizes[i % std::size(kSha256PieceSizes)],
                             message.size() - offset);
        hash.Update(message.data() + offset, size);
        offset += size;
      }
      Sha256Digest digest{};
      const bool finished = hash.Finish(&digest);
      const std::string what =
          std::string(answer.name) + (whole ? ", whole" : ", in pieces");
      if (!finished)
        failures.push_back(what + ": failed");
      else if (HexOf(digest) != answer.hex)
        failures.push_back(what + ": got " + Utf8FromWide(HexOf(digest)));
      if (hash.ok() || hash.Finish(&digest))
        failures.push_back(what + ": still usable after Finish");
    }
  }
  return failures;
}

}  // namespace kestrune::testing

#endif  // KESTRUNE_TESTS_SHA256_KNOWN_ANSWERS_H_

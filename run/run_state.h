// The values the stages of one run share.
#ifndef KESTRUNE_RUN_RUN_STATE_H_
#define KESTRUNE_RUN_RUN_STATE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "run/log.h"

namespace kestrune {

inline constexpr size_t kVersionBufferSize = 40;
inline constexpr size_t kLanguageTagCount = 15;

// The product keys are tried for these languages, in this order.
inline constexpr const wchar_t* kLanguageTags[kLanguageTagCount] = {
    L"en-US", L"zh-CN", L"zh-TW", L"cs-CZ", L"de-DE", L"es-ES", L"fr-FR", L"hu-HU",
    L"it-IT", L"ja-JP", L"ko-KR", L"pl-PL", L"pt-BR", L"ru-RU", L"tr-TR"};

struct RunState {
  std::wstring install_folder;
  std::wstring product_name;
  std::wstring product_vernum;
  std::wstring product_core_guid;
  uint8_t version_buffer[kVersionBufferSize] = {};
  RunLog log;
};

}  // namespace kestrune

#endif  // KESTRUNE_RUN_RUN_STATE_H_

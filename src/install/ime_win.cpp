// IME registration and the keyboard-layout search.
#include "install/ime_win.h"

#include <imm.h>
#include <shlwapi.h>

#include <array>
#include <vector>

#include "base/format_win.h"
#include "base/text.h"
#include "install/rollback_win.h"
#include "sys/fsutil_win.h"
#include "ui/owners_win.h"

namespace {

// Layout registrations of both control sets; the second is usually what the
// first points at, so it mostly finds nothing left.
const wchar_t* const kLayoutRoots[] = {
    L"SYSTEM\\CurrentControlSet\\Control\\Keyboard Layouts",
    L"SYSTEM\\ControlSet001\\Control\\Keyboard Layouts",
};
const wchar_t kPreloadKey[] = L"Keyboard Layout\\Preload";

using LayoutId = std::array<wchar_t, 20>;  // "E0200804" and the like

const wchar_t* FileNamePart(const wchar_t* path) {
  const wchar_t* name = path;
  for (const wchar_t* p = path; *p; ++p)
    if (*p == L'\\' || *p == L'/' || *p == L':') name = p + 1;
  return name;
}

bool SameText(const wchar_t* a, const wchar_t* b) {
  return ::CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// A REG_SZ value into a fixed buffer, always terminated; false when absent,
// of another type or too long.
template <size_t N>
bool ReadString(HKEY key, const wchar_t* name, wchar_t (&out)[N]) {
  DWORD type = 0;
  DWORD bytes = sizeof(out) - sizeof(wchar_t);
  out[0] = 0;
  if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(out), &bytes) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return false;
  out[bytes / sizeof(wchar_t)] = 0;
  return true;
}

// Names of the layout keys under root whose "Ime File" is imeFileName.
std::vector<LayoutId> LayoutsOfModule(HKEY root, const wchar_t* imeFileName) {
  std::vector<LayoutId> found;
  for (DWORD index = 0;; ++index) {
    LayoutId name = {};
    DWORD chars = static_cast<DWORD>(name.size());
    LONG rc = ::RegEnumKeyExW(root, index, name.data(), &chars, nullptr, nullptr, nullptr,
                              nullptr);
    if (rc == ERROR_MORE_DATA) continue;  // not a layout identifier
    if (rc != ERROR_SUCCESS) break;
    ui::RegKey layout;
    if (::RegOpenKeyExW(root, name.data(), 0, KEY_READ, layout.out()) != ERROR_SUCCESS) continue;
    wchar_t imeFile[MAX_PATH];
    if (ReadString(layout.get(), L"Ime File", imeFile) &&
        SameText(FileNamePart(imeFile), imeFileName))
      found.push_back(name);
  }
  return found;
}

bool IsListed(const std::vector<LayoutId>& ids, const wchar_t* text) {
  for (const LayoutId& id : ids)
    if (SameText(id.data(), text)) return true;
  return false;
}

}  // namespace

bool MakeImeFileName(const wchar_t* imeName, wchar_t (&out)[40]) {
  wchar_t name[40];
  kl::Copy(name, imeName);
  return kl::Format(out, L"%s.kelo.ime", name);
}

bool MakeImeSystemPath(const wchar_t* imeName, wchar_t (&out)[MAX_PATH]) {
  out[0] = 0;
  wchar_t system[MAX_PATH];
  UINT n = ::GetSystemDirectoryW(system, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  wchar_t name[40];
  kl::Copy(name, imeName);
  const bool slash = system[n - 1] == L'\\';
  return kl::Format(out, slash ? L"%s%s.kelo.ime" : L"%s\\%s.kelo.ime", system, name);
}

bool RegisterIme(InstallContext& ctx) {
  if (!ctx.header) return false;
  // The header is a byte copy of a file: take its texts as bounded copies.
  wchar_t imeName[40];
  wchar_t layoutText[40];
  kl::Copy(imeName, ctx.header->imeName);
  kl::Copy(layoutText, ctx.header->layoutText);

  wchar_t source[MAX_PATH];
  wchar_t target[MAX_PATH];
  const bool sourceFits = kl::Format(source, L"%s%s.ime", ctx.installDir, imeName);
  const bool targetFits = MakeImeSystemPath(imeName, target);
  if (imeName[0] && targetFits) JournalNewFile(ctx, target);
  if (!imeName[0] || !sourceFits || !targetFits || !CopyFileAndGrant(source, target, FALSE)) {
    wchar_t line[512];
    kl::Format(line, L"复制IME文件到系统目录发生错误，复制文件路径：%s", source);
    ReportProgress(ctx, -1, line);
    return false;
  }
  // From now on the module lives only in the system directory.
  ::DeleteFileW(source);

  wchar_t fileName[40];
  const bool nameFits = MakeImeFileName(imeName, fileName);
  const std::vector<std::wstring> before =
      nameFits ? LayoutsUsingModule(fileName) : std::vector<std::wstring>();

  // The result says little (an earlier registration may stand); the search
  // below decides.
  ::ImmInstallIMEW(target, layoutText);

  if (!nameFits) return false;
  // Some systems register a new layout on every call: the run owns only
  // those that were not there before it.
  for (const std::wstring& id : LayoutsUsingModule(fileName)) {
    bool old = false;
    for (const std::wstring& b : before) old = old || SameText(b.c_str(), id.c_str());
    if (!old) JournalLayout(ctx, id.c_str());
  }
  return FindLayoutByImeFile(fileName) != nullptr;
}

HKL FindLayoutByImeFile(const wchar_t* fileName) {
  if (!fileName || !fileName[0]) return nullptr;
  const int count = ::GetKeyboardLayoutList(0, nullptr);
  if (count <= 0) return nullptr;
  ui::HeapBlock block(
      ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, static_cast<size_t>(count) * sizeof(HKL)));
  if (!block) return nullptr;
  HKL* layouts = static_cast<HKL*>(block.get());
  // The list may have shrunk in between; only what was filled is looked at.
  const int filled = ::GetKeyboardLayoutList(count, layouts);
  for (int i = 0; i < filled && i < count; ++i) {
    wchar_t imeFile[MAX_PATH] = {};
    if (::ImmGetIMEFileNameW(layouts[i], imeFile, MAX_PATH) == 0) continue;  // no IME
    imeFile[MAX_PATH - 1] = 0;
    if (SameText(FileNamePart(imeFile), fileName)) return layouts[i];
  }
  return nullptr;
}

int RemoveImeLayouts(const wchar_t* imeFileName) {
  if (!imeFileName || !imeFileName[0]) return 0;

  // The loaded layouts of the module, taken before their registrations go.
  std::vector<HKL> loaded;
  for (HKL hkl; (hkl = FindLayoutByImeFile(imeFileName)) != nullptr;) {
    bool seen = false;
    for (HKL l : loaded) seen = seen || l == hkl;
    if (seen) break;
    loaded.push_back(hkl);
    if (!::UnloadKeyboardLayout(hkl)) break;  // still listed: unloading is not supported
  }

  int removed = 0;
  std::vector<LayoutId> ids;
  for (const wchar_t* rootPath : kLayoutRoots) {
    ui::RegKey root;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, rootPath, 0, KEY_READ | KEY_WRITE, root.out()) !=
        ERROR_SUCCESS)
      continue;
    for (const LayoutId& id : LayoutsOfModule(root.get(), imeFileName)) {
      if (::RegDeleteKeyW(root.get(), id.data()) == ERROR_SUCCESS) ++removed;
      if (!IsListed(ids, id.data())) ids.push_back(id);
    }
  }

  // Preload values naming one of those layouts.
  ui::RegKey preload;
  if (!ids.empty() && ::RegOpenKeyExW(HKEY_CURRENT_USER, kPreloadKey, 0, KEY_READ | KEY_WRITE,
                                      preload.out()) == ERROR_SUCCESS) {
    std::vector<std::array<wchar_t, 64>> names;
    for (DWORD index = 0;; ++index) {
      std::array<wchar_t, 64> name = {};
      wchar_t data[20] = {};
      DWORD nameChars = static_cast<DWORD>(name.size());
      DWORD bytes = sizeof(data) - sizeof(wchar_t);
      DWORD type = 0;
      LONG rc = ::RegEnumValueW(preload.get(), index, name.data(), &nameChars, nullptr, &type,
                                reinterpret_cast<BYTE*>(data), &bytes);
      if (rc == ERROR_MORE_DATA) continue;  // not a layout identifier
      if (rc != ERROR_SUCCESS) break;
      data[bytes / sizeof(wchar_t)] = 0;
      if (type == REG_SZ && IsListed(ids, data)) names.push_back(name);
    }
    for (const auto& name : names) ::RegDeleteValueW(preload.get(), name.data());
  }
  return removed;
}

void FormatLayoutId(HKL layout, wchar_t (&out)[20]) {
  kl::Format(out, L"%X", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(layout) & 0xFFFFFFFFu));
}

std::vector<std::wstring> LayoutsUsingModule(const wchar_t* imeFileName) {
  std::vector<std::wstring> ids;
  if (!imeFileName || !imeFileName[0]) return ids;
  auto add = [&](const wchar_t* id) {
    for (const std::wstring& known : ids)
      if (SameText(known.c_str(), id)) return;
    ids.push_back(id);
  };
  const int count = ::GetKeyboardLayoutList(0, nullptr);
  if (count > 0) {
    std::vector<HKL> layouts(static_cast<size_t>(count));
    const int filled = ::GetKeyboardLayoutList(count, layouts.data());
    for (int i = 0; i < filled && i < count; ++i) {
      wchar_t imeFile[MAX_PATH] = {};
      if (::ImmGetIMEFileNameW(layouts[i], imeFile, MAX_PATH) == 0) continue;
      imeFile[MAX_PATH - 1] = 0;
      if (!SameText(FileNamePart(imeFile), imeFileName)) continue;
      wchar_t id[20];
      FormatLayoutId(layouts[i], id);
      add(id);
    }
  }
  for (const wchar_t* rootPath : kLayoutRoots) {
    ui::RegKey root;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, rootPath, 0, KEY_READ, root.out()) != ERROR_SUCCESS)
      continue;
    for (const LayoutId& id : LayoutsOfModule(root.get(), imeFileName)) add(id.data());
  }
  return ids;
}

void RemoveLayoutById(const wchar_t* layoutId) {
  if (!layoutId || !layoutId[0]) return;

  // The loaded handle, when the layout is loaded; taken before its keys go.
  HKL loaded = nullptr;
  const int count = ::GetKeyboardLayoutList(0, nullptr);
  if (count > 0) {
    std::vector<HKL> layouts(static_cast<size_t>(count));
    const int filled = ::GetKeyboardLayoutList(count, layouts.data());
    for (int i = 0; i < filled && i < count && !loaded; ++i) {
      wchar_t id[20];
      FormatLayoutId(layouts[i], id);
      if (SameText(id, layoutId)) loaded = layouts[i];
    }
  }

  // The first preload value that names it.
  ui::RegKey preload;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, kPreloadKey, 0, KEY_ALL_ACCESS, preload.out()) ==
      ERROR_SUCCESS) {
    for (DWORD index = 0;; ++index) {
      wchar_t name[260] = {};
      wchar_t data[20] = {};
      DWORD nameChars = 260;
      DWORD bytes = sizeof(data) - sizeof(wchar_t);
      DWORD type = 0;
      const LONG rc = ::RegEnumValueW(preload.get(), index, name, &nameChars, nullptr, &type,
                                      reinterpret_cast<BYTE*>(data), &bytes);
      if (rc == ERROR_MORE_DATA) continue;  // longer than any layout identifier
      if (rc != ERROR_SUCCESS) break;
      data[bytes / sizeof(wchar_t)] = 0;
      if ((type == REG_SZ || type == REG_EXPAND_SZ) && SameText(data, layoutId)) {
        ::RegDeleteValueW(preload.get(), name);
        break;
      }
    }
  }

  // Its registration in both control sets.
  for (const wchar_t* rootPath : kLayoutRoots) {
    ui::RegKey root;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, rootPath, 0, KEY_ALL_ACCESS, root.out()) !=
        ERROR_SUCCESS)
      continue;
    for (DWORD index = 0;;) {
      LayoutId name = {};
      DWORD chars = static_cast<DWORD>(name.size());
      const LONG rc = ::RegEnumKeyExW(root.get(), index, name.data(), &chars, nullptr, nullptr,
                                      nullptr, nullptr);
      if (rc == ERROR_MORE_DATA) {
        ++index;
        continue;
      }
      if (rc != ERROR_SUCCESS) break;
      if (SameText(name.data(), layoutId) && ::SHDeleteKeyW(root.get(), name.data()) ==
                                                 ERROR_SUCCESS)
        continue;  // the next key moved up to this index
      ++index;
    }
  }

  if (loaded) {
    ::UnloadKeyboardLayout(loaded);
    ::UnloadKeyboardLayout(loaded);
  }
}

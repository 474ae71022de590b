#include "registry_util.h"

namespace trailmark {

using namespace winport;

VbBool WriteRegistryString(HKEY keyRoot, const QString& keyName, const QString& valueName,
                           const QString& text) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExA(keyRoot, keyName.toUtf8().constData(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, &disposition) != ERROR_SUCCESS) {
    return kVbFalse;
  }
  const QByteArray data = text.toUtf8();
  RegSetValueExA(key, valueName.toUtf8().constData(), 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(data.constData()), static_cast<DWORD>(data.size()));
  RegCloseKey(key);
  return kVbTrue;
}

VbBool SetIEHomePage(const QString& url) {
  return WriteRegistryString(HKEY_CURRENT_USER, "Software\\Microsoft\\Internet Explorer\\Main",
                             "Start Page", url);
}

bool GetKeyValue(HKEY keyRoot, const QString& keyName, const QString& subKeyRef, QString& keyVal) {
  keyVal.clear();
  HKEY key = nullptr;
  if (RegOpenKeyExA(keyRoot, keyName.toUtf8().constData(), 0, KEY_ALL_ACCESS, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  BYTE buffer[1024];
  DWORD size = sizeof(buffer);
  DWORD type = REG_NONE;
  const LONG rc =
      RegQueryValueExA(key, subKeyRef.toUtf8().constData(), nullptr, &type, buffer, &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return false;

  if (type == REG_SZ) {
    // Values written without a terminator (as our own writer does) keep their last character.
    DWORD length = size;
    if (length > 0 && buffer[length - 1] == 0) --length;
    keyVal = QString::fromUtf8(reinterpret_cast<const char*>(buffer), length);
  } else if (type == REG_DWORD) {
    // Bytes last to first, two hex digits each, read back as one number.
    QByteArray hex;
    for (DWORD i = size; i > 0; --i)
      hex += QByteArray::number(buffer[i - 1], 16).rightJustified(2, '0');
    bool ok = false;
    const qulonglong value = hex.toULongLong(&ok, 16);
    keyVal = ok ? QString::number(value) : QString();
  }
  return true;
}

}  // namespace trailmark

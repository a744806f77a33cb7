#include "support/dialogs.h"

#include "os/os.h"

namespace lumiclip {

namespace {

constexpr const char kCaption[] = "Lumiclip Error";
constexpr const char kSupportAddress[] = "support@lumiclipapp.com";
#define LUMICLIP_RULE "-----------------------------------------------------"

constexpr const char kMaintenanceOpening[] =
    "There was error during Lumiclip maintenance:\r\n"
    "\r\n" LUMICLIP_RULE "\r\n"
    "\"";
constexpr const char kMaintenanceClosing[] =
    "\"\r\n" LUMICLIP_RULE "\r\n"
    "\r\n"
    "- Please make sure the advanced version of Lumiclip is not running.\r\n"
    "\r\n"
    "- Please make sure the destination folder is writable, then try again.\r\n"
    "\r\n"
    "- You may also try running this executable with admin privileges.\r\n"
    "\r\n"
    "If nothing helps, please report this error to: ";

constexpr const char kRegistryOpening[] =
    "There was error during accessing registry:\r\n"
    "\r\n" LUMICLIP_RULE "\r\n"
    "\"";
constexpr const char kRegistryClosing[] =
    "\"\r\n" LUMICLIP_RULE "\r\n"
    "\r\n"
    "Please try again or run this file with admin privileges.\r\n"
    "If nothing helps, please report this error to: ";

#undef LUMICLIP_RULE

std::string Frame(const char* opening, const char* detail, const char* closing) {
  std::string text = opening;
  text += detail == nullptr ? "" : detail;
  text += closing;
  text += kSupportAddress;
  return text;
}

}  // namespace

std::string MaintenanceErrorText(const char* detail) {
  return Frame(kMaintenanceOpening, detail, kMaintenanceClosing);
}

std::string RegistryErrorText(const char* detail) {
  return Frame(kRegistryOpening, detail, kRegistryClosing);
}

void ShowMaintenanceError(const char* detail) {
  TheOs().ShowMessageBox(MaintenanceErrorText(detail), kCaption,
                         win::kMbOk | win::kMbIconError);
}

void ShowRegistryError(const char* detail) {
  TheOs().ShowMessageBox(RegistryErrorText(detail), kCaption,
                         win::kMbOk | win::kMbIconError);
}

}  // namespace lumiclip

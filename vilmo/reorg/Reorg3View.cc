#include "vilmo/reorg/Reorg3View.h"

#include "vilmo/reorg/ReorgScreens.h"
#include "vilmo/reorg/VirtualFolder.h"

bool Reorg3View::showsTree() const { return appliedFolder && appliedFolder.get() != nullptr; }

std::string Reorg3View::bannerText(const std::string& localizedFormat) const {
  std::shared_ptr<VirtualFolder> folder = appliedFolder ? appliedFolder.get() : nullptr;
  return folder ? reorgBannerText(*folder, localizedFormat) : std::string();
}

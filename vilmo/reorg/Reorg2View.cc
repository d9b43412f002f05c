#include "vilmo/reorg/Reorg2View.h"

#include "vilmo/reorg/ReorgScreens.h"
#include "vilmo/reorg/VirtualFolder.h"

bool Reorg2View::showsTree() const { return aiFolder && aiFolder.get() != nullptr; }

std::string Reorg2View::bannerText(const std::string& localizedFormat) const {
  std::shared_ptr<VirtualFolder> folder = aiFolder ? aiFolder.get() : nullptr;
  return folder ? reorgBannerText(*folder, localizedFormat) : std::string();
}

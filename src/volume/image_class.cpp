// CTarnImage3D: one owned volume with value semantics.
#include <cstring>

#include "img3d.h"

CTarnImage3D::CTarnImage3D() : m_image(nullptr) {}

CTarnImage3D::CTarnImage3D(int width, int height, int depth) : m_image(Image3DAlloc(width, height, depth)) {}

CTarnImage3D::CTarnImage3D(CTarnImage3D& source) : CTarnImage3D(static_cast<const CTarnImage3D&>(source)) {}

CTarnImage3D::CTarnImage3D(const CTarnImage3D& source) : m_image(nullptr) {
    if (source.getSize() == 0) return;
    if (makeImage(source.getWidth(), source.getHeight(), source.getDepth()) == 0) return;
    std::memcpy(m_image[0][0], source.m_image[0][0], static_cast<std::size_t>(getSize()));
}

CTarnImage3D::~CTarnImage3D() { destroyImage(); }

int CTarnImage3D::makeImage(int width, int height, int depth) {
    destroyImage();
    m_image = Image3DAlloc(width, height, depth);
    return m_image != nullptr ? 1 : 0;
}

void CTarnImage3D::destroyImage() {
    if (m_image == nullptr) return;
    Image3DFree(m_image);
    m_image = nullptr;
}

int CTarnImage3D::getWidth() const { return Image3DGetWidth(m_image); }
int CTarnImage3D::getHeight() const { return Image3DGetHeight(m_image); }
int CTarnImage3D::getDepth() const { return Image3DGetDepth(m_image); }
int CTarnImage3D::getSize() const { return getWidth() * getHeight() * getDepth(); }

unsigned char* CTarnImage3D::getPixels() { return m_image != nullptr ? m_image[0][0] : nullptr; }

CTarnImage3D& CTarnImage3D::operator=(const CTarnImage3D& source) {
    if (&source == this) return *this;
    if (source.getSize() == 0) {
        destroyImage();
        return *this;
    }
    // Always a new block, even for equal dimensions: hosts may rely on the
    // old handle being released.
    if (makeImage(source.getWidth(), source.getHeight(), source.getDepth()) == 0) return *this;
    std::memcpy(m_image[0][0], source.m_image[0][0], static_cast<std::size_t>(getSize()));
    return *this;
}

CTarnImage3D::operator unsigned char***() { return m_image; }

void CTarnImage3D::clearImage(int value) {
    if (m_image == nullptr) return;
    std::memset(m_image[0][0], value & 0xFF, static_cast<std::size_t>(getSize()));
}

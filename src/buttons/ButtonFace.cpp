#include "buttons/ButtonFace.h"

#include "com/Module.h"
#include "com/ComError.h"
#include "com/ComPtr.h"
#include "com/Guids.h"
#include "com/ObjectModel.h"
#include "com/DispProperty.h"
#include "log/DebugLog.h"

#include <commctrl.h>
#include <olectl.h>

#include <map>
#include <vector>

namespace {

constexpr LONG kMsoButtonIconAndCaption = 3;

ComPtr<IDispatch> MakePicture(GdiObject &bitmap)
{
    if (!bitmap)
        return ComPtr<IDispatch>();
    PICTDESC description = {};
    description.cbSizeofstruct = sizeof description;
    description.picType = PICTYPE_BITMAP;
    description.bmp.hbitmap = static_cast<HBITMAP>(bitmap.Get());
    ComPtr<IDispatch> picture;
    if (FAILED(OleCreatePictureIndirect(&description, IID_IPictureDisp, TRUE, picture.ReceiveVoid())) || !picture)
        return ComPtr<IDispatch>();
    bitmap.Release(); // the picture owns it now
    return picture;
}

bool PutPicture(IDispatch *button, const wchar_t *property, IDispatch *picture)
{
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_DISPATCH;
    value.pdispVal = picture;
    Variant result;
    return DispPutProperty(button, property, result.Receive(), 1, &value) == S_OK;
}

// One clipboard format's data, copied so it can be put back. Frees the copy
// unless it was handed back to the clipboard.
class SavedFormat
{
public:
    enum class Kind
    {
        Bitmap,
        EnhMetafile,
        Palette,
        Global,
    };
    SavedFormat(Kind kind, HANDLE handle) : m_kind(kind), m_handle(handle) {}
    SavedFormat(SavedFormat &&o) noexcept : m_kind(o.m_kind), m_handle(o.m_handle) { o.m_handle = nullptr; }
    SavedFormat(const SavedFormat &) = delete;
    SavedFormat &operator=(const SavedFormat &) = delete;
    SavedFormat &operator=(SavedFormat &&) = delete;
    ~SavedFormat() { Free(); }

    HANDLE HandOver()
    {
        HANDLE h = m_handle;
        m_handle = nullptr;
        return h;
    }

private:
    void Free()
    {
        if (!m_handle)
            return;
        switch (m_kind) {
        case Kind::Bitmap:
        case Kind::Palette:
            DeleteObject(m_handle);
            break;
        case Kind::EnhMetafile:
            DeleteEnhMetaFile(static_cast<HENHMETAFILE>(m_handle));
            break;
        case Kind::Global:
            GlobalFree(m_handle);
            break;
        }
        m_handle = nullptr;
    }

    Kind m_kind;
    HANDLE m_handle;
};

HGLOBAL CopyGlobal(HANDLE source)
{
    SIZE_T size = GlobalSize(source);
    if (size == 0)
        return nullptr; // not a global memory block
    GlobalMemoryLock from(source);
    if (!from.Get())
        return nullptr;
    HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT | GMEM_DDESHARE, size);
    if (!copy)
        return nullptr;
    GlobalMemoryLock to(copy);
    if (!to.Get()) {
        GlobalFree(copy);
        return nullptr;
    }
    memcpy(to.Get(), from.Get(), size);
    return copy;
}

// A METAFILEPICT block with a copy of the metafile it points to.
HGLOBAL CopyMetafilePict(HANDLE source)
{
    GlobalMemoryLock from(source);
    if (!from.Get() || GlobalSize(source) < sizeof(METAFILEPICT))
        return nullptr;
    METAFILEPICT pict = *static_cast<METAFILEPICT *>(from.Get());
    pict.hMF = CopyMetaFileA(pict.hMF, nullptr);
    if (!pict.hMF)
        return nullptr;
    HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, sizeof pict);
    GlobalMemoryLock to(copy);
    if (!to.Get()) {
        DeleteMetaFile(pict.hMF);
        if (copy)
            GlobalFree(copy);
        return nullptr;
    }
    *static_cast<METAFILEPICT *>(to.Get()) = pict;
    return copy;
}

HPALETTE CopyPalette(HANDLE source)
{
    HPALETTE palette = static_cast<HPALETTE>(source);
    UINT count = GetPaletteEntries(palette, 0, 0, nullptr);
    if (count == 0)
        return nullptr;
    std::vector<BYTE> storage(sizeof(LOGPALETTE) + count * sizeof(PALETTEENTRY));
    LOGPALETTE *log = reinterpret_cast<LOGPALETTE *>(storage.data());
    log->palVersion = 0x300;
    log->palNumEntries = static_cast<WORD>(count);
    GetPaletteEntries(palette, 0, count, log->palPalEntry);
    return CreatePalette(log);
}

// Copies every format on the open clipboard, ordered by format number.
std::map<UINT, SavedFormat> SaveClipboard()
{
    std::map<UINT, SavedFormat> saved;
    for (UINT format = EnumClipboardFormats(0); format != 0; format = EnumClipboardFormats(format)) {
        HANDLE data = GetClipboardData(format);
        if (!data)
            continue;
        switch (format) {
        case CF_BITMAP:
        case CF_DSPBITMAP:
            if (HANDLE copy = CopyImage(data, IMAGE_BITMAP, 0, 0, 0))
                saved.emplace(format, SavedFormat(SavedFormat::Kind::Bitmap, copy));
            break;
        case CF_ENHMETAFILE:
        case CF_DSPENHMETAFILE:
            if (HENHMETAFILE copy = CopyEnhMetaFileA(static_cast<HENHMETAFILE>(data), nullptr))
                saved.emplace(format, SavedFormat(SavedFormat::Kind::EnhMetafile, copy));
            break;
        case CF_METAFILEPICT:
        case CF_DSPMETAFILEPICT:
            if (HGLOBAL copy = CopyMetafilePict(data))
                saved.emplace(format, SavedFormat(SavedFormat::Kind::Global, copy));
            break;
        case CF_PALETTE:
            if (HPALETTE copy = CopyPalette(data))
                saved.emplace(format, SavedFormat(SavedFormat::Kind::Palette, copy));
            break;
        default:
            if (HGLOBAL copy = CopyGlobal(data))
                saved.emplace(format, SavedFormat(SavedFormat::Kind::Global, copy));
            break;
        }
    }
    return saved;
}

void RestoreClipboard(std::map<UINT, SavedFormat> &saved)
{
    ClipboardScope clipboard;
    if (!clipboard.IsOpen()) {
        DebugLog(1, "SetButtonFace: the clipboard could not be reopened to restore it\n");
        return;
    }
    EmptyClipboard();
    for (auto &entry : saved)
        if (!SetClipboardData(entry.first, entry.second.HandOver()))
            DebugLog(1, "SetButtonFace: clipboard format %u could not be restored\n", entry.first);
    saved.clear();
}

// Pastes the face through the clipboard. A clipboard that another program
// holds is left alone: the button then keeps no face, but the user's
// clipboard is never lost.
void PasteFaceThroughClipboard(IDispatch *button, WORD imageId, COLORREF transparentColour)
{
    std::map<UINT, SavedFormat> saved;
    {
        ClipboardScope clipboard;
        if (!clipboard.IsOpen()) {
            DebugLog(1, "SetButtonFace: the clipboard is in use, the button keeps no face\n");
            return;
        }
        saved = SaveClipboard();
        EmptyClipboard();
        COLORMAP map = {transparentColour, GetSysColor(COLOR_BTNFACE)};
        HBITMAP face = CreateMappedBitmap(g_hModule, imageId, 0, &map, 1);
        if (face && !SetClipboardData(CF_BITMAP, face))
            DeleteObject(face);
    }

    try {
        if (!button)
            ThrowComError(E_POINTER, IID__CommandBarButton);
        om::Call(button, L"PasteFace", IID__CommandBarButton);
    } catch (...) {
        RestoreClipboard(saved);
        throw;
    }
    RestoreClipboard(saved);
}

} // namespace

void SetButtonFace(IDispatch *button, WORD imageId, WORD maskId, COLORREF transparentColour)
{
    GdiObject face(LoadImageA(g_hModule, MAKEINTRESOURCEA(imageId), IMAGE_BITMAP, 0, 0, LR_LOADMAP3DCOLORS));
    GdiObject mask(LoadImageA(g_hModule, MAKEINTRESOURCEA(maskId), IMAGE_BITMAP, 0, 0, LR_LOADMAP3DCOLORS));
    bool useClipboard = true;

    if (!button)
        ThrowComError(E_POINTER, IID__CommandBarButton);
    om::Put(button, L"FaceId", Variant::I4(0), IID__CommandBarButton);
    om::Put(button, L"Style", Variant::I4(kMsoButtonIconAndCaption), IID__CommandBarButton);

    ComPtr<IDispatch> facePicture = MakePicture(face);
    ComPtr<IDispatch> maskPicture = MakePicture(mask);
    if (facePicture) {
        ComPtr<IDispatch> dispatch;
        button->QueryInterface(IID_IDispatch, dispatch.ReceiveVoid());
        if (dispatch) {
            if (PutPicture(dispatch.Get(), L"Picture", facePicture.Get()))
                useClipboard = false;
            facePicture.Reset();
            if (maskPicture && PutPicture(dispatch.Get(), L"Mask", maskPicture.Get()))
                useClipboard = false;
        }
    }
    maskPicture.Reset();
    facePicture.Reset();

    if (useClipboard)
        PasteFaceThroughClipboard(button, imageId, transparentColour);
}

#include "platform/desktop/sim/SimDesktop.h"

#include <algorithm>
#include <cstring>

#include "platform/desktop/ApplicationServices.h"

namespace desktop::sim {
namespace {

// Appends to a record, dropping its oldest entry beyond the limit.
template <typename T, typename V>
void Record(std::deque<T>& log, V&& entry) {
  log.emplace_back(std::forward<V>(entry));
  if (log.size() > SimDesktop::kRecordLimit) log.pop_front();
}

template <typename T>
std::vector<T> Copy(const std::deque<T>& log) {
  return std::vector<T>(log.begin(), log.end());
}

// Frame n of the default scene: a diagonal gradient, rows of "text" (short dark runs that
// scroll up 2 px a frame) and a 48 × 32 box moving 8 px a frame. Cheap, deterministic, and it
// changes every frame, so the encoder has real work.
void RenderDefaultScene(uint8_t* px, int64_t w, int64_t h, int64_t n) {
  for (int64_t y = 0; y < h; ++y) {
    uint8_t* row = px + y * w * 4;
    int64_t sy = y + 2 * n;
    bool textRow = (sy / 4) % 4 == 1;
    for (int64_t x = 0; x < w; ++x) {
      uint8_t* p = row + x * 4;
      p[0] = static_cast<uint8_t>(128 + (x * 96) / std::max<int64_t>(w, 1));
      p[1] = static_cast<uint8_t>(96 + (y * 128) / std::max<int64_t>(h, 1));
      p[2] = static_cast<uint8_t>(160 - ((x + y) * 64) / std::max<int64_t>(w + h, 1));
      p[3] = 255;
      if (textRow && ((x / 3 + sy / 16) * 2654435761u >> 7) % 5 < 2) {
        p[0] = p[1] = p[2] = 24;
      }
    }
  }
  int64_t bw = std::min<int64_t>(48, w), bh = std::min<int64_t>(32, h);
  int64_t span = std::max<int64_t>(w - bw, 1);
  int64_t bx = (n * 8) % (2 * span);
  if (bx >= span) bx = 2 * span - bx;
  int64_t by = (h - bh) / 2;
  for (int64_t y = by; y < by + bh; ++y) {
    for (int64_t x = bx; x < bx + bw && x < w; ++x) {
      uint8_t* p = px + (y * w + x) * 4;
      p[0] = 40;
      p[1] = 40;
      p[2] = 230;
      p[3] = 255;
    }
  }
}

}  // namespace

std::shared_ptr<SimDesktop> SimDesktop::Create() {
  return std::shared_ptr<SimDesktop>(new SimDesktop());
}

SimDesktop::SimDesktop() : renderer_(RenderDefaultScene) {
  cursor_ = MakeCursor(16, 16, {16, 16}, {1, 1});
  screens_ = {CGRect{{0, 0}, {1440, 900}}};
  auto us =
      MakeInputSource("com.apple.keylayout.US", kTISCategoryKeyboardInputSource, true, "U.S.");
  sources_ = std::vector<TISInputSourceRef>{us};
  currentSource_ = us;
}

std::shared_ptr<Desktop> SimDesktop::AsDesktop() {
  auto self = shared_from_this();
  auto d = std::make_shared<Desktop>();
  d->display = self;
  d->cursor = self;
  d->system = self;
  d->events = self;
  d->inputSources = self;
  d->power = self;
  return d;
}

// ---- display

void SimDesktop::setDisplaySize(int64_t width, int64_t height) {
  std::lock_guard lock(mutex_);
  width_ = width;
  height_ = height;
}

void SimDesktop::failNextGrabs(int count) {
  std::lock_guard lock(mutex_);
  failGrabs_ = count;
}

void SimDesktop::setSceneRenderer(
    std::function<void(uint8_t*, int64_t, int64_t, int64_t)> renderer) {
  std::lock_guard lock(mutex_);
  renderer_ = renderer ? std::move(renderer) : RenderDefaultScene;
}

int64_t SimDesktop::grabCount() const {
  std::lock_guard lock(mutex_);
  return grabs_;
}

CGImageRef SimDesktop::renderFrame(int64_t n) const {
  int64_t w, h;
  std::function<void(uint8_t*, int64_t, int64_t, int64_t)> renderer;
  {
    std::lock_guard lock(mutex_);
    w = width_;
    h = height_;
    renderer = renderer_;
  }
  if (w <= 0 || h <= 0) return nullptr;
  auto image = CGImage::Allocate(w, h);
  renderer(image->mutableData(), w, h, n);
  return image;
}

CGImageRef SimDesktop::createImage() {
  int64_t n;
  {
    std::lock_guard lock(mutex_);
    if (failGrabs_ > 0) {
      --failGrabs_;
      ++grabs_;
      return nullptr;
    }
    n = grabs_++;
  }
  return renderFrame(n);
}

// ---- cursor

void SimDesktop::setCursor(std::optional<CursorImage> cursor) {
  std::lock_guard lock(mutex_);
  cursor_ = std::move(cursor);
}

CursorImage SimDesktop::MakeCursor(int64_t pw, int64_t ph, CGSize points, CGPoint hotSpot) {
  auto bitmap = CGImage::Allocate(pw, ph);
  uint8_t* px = bitmap->mutableData();
  for (int64_t y = 0; y < ph; ++y) {
    for (int64_t x = 0; x < pw; ++x) {
      uint8_t* p = px + (y * pw + x) * 4;
      bool inside = x <= y;  // a triangle, like an arrow
      bool edge = inside && (x == 0 || x == y || y == ph - 1);
      p[0] = p[1] = p[2] = edge ? 0 : 255;
      p[3] = inside ? 255 : 0;
    }
  }
  return CursorImage{NSImage{bitmap, points}, hotSpot};
}

std::optional<CursorImage> SimDesktop::currentCursor() {
  std::lock_guard lock(mutex_);
  return cursor_;
}

// ---- system

void SimDesktop::setWindowList(std::optional<std::vector<CFWindowEntry>> list) {
  std::lock_guard lock(mutex_);
  windows_ = std::move(list);
}
void SimDesktop::setProcessIdentifier(int32_t pid) {
  std::lock_guard lock(mutex_);
  pid_ = pid;
}
void SimDesktop::setScreens(std::vector<CGRect> screens) {
  std::lock_guard lock(mutex_);
  screens_ = std::move(screens);
}
void SimDesktop::setOperatingSystemVersion(OperatingSystemVersion v) {
  std::lock_guard lock(mutex_);
  os_ = v;
}
void SimDesktop::setTrusted(bool trusted) {
  std::lock_guard lock(mutex_);
  trusted_ = trusted;
}
int SimDesktop::screenCaptureRequests() const {
  std::lock_guard lock(mutex_);
  return captureRequests_;
}
int SimDesktop::trustPrompts() const {
  std::lock_guard lock(mutex_);
  return trustPrompts_;
}
std::vector<std::string> SimDesktop::openedURLs() const {
  std::lock_guard lock(mutex_);
  return Copy(urls_);
}
std::vector<std::string> SimDesktop::permissionCalls() const {
  std::lock_guard lock(mutex_);
  return Copy(permissionCalls_);
}
std::vector<uint32_t> SimDesktop::windowListOptions() const {
  std::lock_guard lock(mutex_);
  return Copy(windowListOptions_);
}

std::optional<std::vector<CFWindowEntry>> SimDesktop::windowList(uint32_t option, uint32_t) {
  std::lock_guard lock(mutex_);
  Record(windowListOptions_, option);
  return windows_;
}
int32_t SimDesktop::processIdentifier() {
  std::lock_guard lock(mutex_);
  return pid_;
}
std::vector<CGRect> SimDesktop::screens() {
  std::lock_guard lock(mutex_);
  return screens_;
}
OperatingSystemVersion SimDesktop::operatingSystemVersion() {
  std::lock_guard lock(mutex_);
  return os_;
}
bool SimDesktop::requestScreenCaptureAccess() {
  std::lock_guard lock(mutex_);
  ++captureRequests_;
  Record(permissionCalls_, "request");
  return false;
}
bool SimDesktop::openURL(const std::string& url) {
  std::lock_guard lock(mutex_);
  Record(urls_, url);
  Record(permissionCalls_, "url:" + url);
  return true;
}
bool SimDesktop::isProcessTrusted(bool prompt) {
  std::lock_guard lock(mutex_);
  if (prompt) ++trustPrompts_;
  return trusted_;
}

// ---- events

void SimDesktop::setEventSourceAvailable(bool available) {
  std::lock_guard lock(mutex_);
  sourceAvailable_ = available;
}
void SimDesktop::setEventCreationAvailable(bool available) {
  std::lock_guard lock(mutex_);
  creationAvailable_ = available;
}
std::vector<PostedEvent> SimDesktop::postedEvents() const {
  std::lock_guard lock(mutex_);
  return Copy(posted_);
}
void SimDesktop::clearPostedEvents() {
  std::lock_guard lock(mutex_);
  posted_.clear();
  moves_.clear();
}
std::vector<CGPoint> SimDesktop::cursorMoves() const {
  std::lock_guard lock(mutex_);
  return Copy(moves_);
}
void SimDesktop::setCursorLocation(CGPoint p) {
  std::lock_guard lock(mutex_);
  cursorLocation_ = p;
}
int SimDesktop::releaseHeldInputCalls() const {
  std::lock_guard lock(mutex_);
  return releaseHeld_;
}

bool SimDesktop::createEventSource(int32_t) {
  std::lock_guard lock(mutex_);
  return sourceAvailable_;
}
bool SimDesktop::canCreateEvents() {
  std::lock_guard lock(mutex_);
  return creationAvailable_;
}
void SimDesktop::post(uint32_t tap, const CGEvent& event) {
  std::lock_guard lock(mutex_);
  Record(posted_, PostedEvent{tap, event});
  if (event.kind == CGEventKind::kMouse) cursorLocation_ = event.location;
}
int32_t SimDesktop::moveCursorToPoint(uint32_t, CGPoint point) {
  std::lock_guard lock(mutex_);
  Record(moves_, point);
  cursorLocation_ = point;
  return 0;
}
CGPoint SimDesktop::cursorLocation() {
  std::lock_guard lock(mutex_);
  return cursorLocation_;
}
void SimDesktop::releaseHeldInput() {
  std::lock_guard lock(mutex_);
  ++releaseHeld_;
  postedAtRelease_ = posted_.size();
}
size_t SimDesktop::postedEventsAtLastRelease() const {
  std::lock_guard lock(mutex_);
  return postedAtRelease_;
}

// ---- input sources

TISInputSourceRef SimDesktop::MakeInputSource(const std::string& id, const std::string& category,
                                              bool selectCapable, const std::string& name) {
  auto s = std::make_shared<TISInputSource>();
  s->identifier = id;
  s->properties[kTISPropertyInputSourceCategory] = category;
  s->properties[kTISPropertyInputSourceIsSelectCapable] = selectCapable;
  s->properties[kTISPropertyLocalizedName] = name;
  return s;
}

void SimDesktop::setInputSources(std::optional<std::vector<TISInputSourceRef>> sources) {
  std::lock_guard lock(mutex_);
  sources_ = std::move(sources);
}
void SimDesktop::setCurrentInputSource(TISInputSourceRef source) {
  std::lock_guard lock(mutex_);
  currentSource_ = std::move(source);
}
std::vector<std::string> SimDesktop::selectedInputSources() const {
  std::lock_guard lock(mutex_);
  return Copy(selected_);
}
std::optional<std::vector<TISInputSourceRef>> SimDesktop::inputSources(bool) {
  std::lock_guard lock(mutex_);
  return sources_;
}
TISInputSourceRef SimDesktop::currentKeyboardInputSource() {
  std::lock_guard lock(mutex_);
  return currentSource_;
}
int32_t SimDesktop::selectInputSource(const TISInputSourceRef& source) {
  std::lock_guard lock(mutex_);
  Record(selected_, source->identifier);
  currentSource_ = source;
  return 0;
}

// ---- power

void SimDesktop::setPowerAssertionsRefused(const std::string& type, bool refused) {
  std::lock_guard lock(mutex_);
  auto& v = refusedAssertionTypes_;
  v.erase(std::remove(v.begin(), v.end(), type), v.end());
  if (refused) v.push_back(type);
}
std::vector<PowerAssertion> SimDesktop::powerAssertions() const {
  std::lock_guard lock(mutex_);
  return assertions_;
}
int32_t SimDesktop::createAssertion(const std::string& type, uint32_t level,
                                    const std::string& name, uint32_t* assertionID) {
  std::lock_guard lock(mutex_);
  auto& v = refusedAssertionTypes_;
  if (std::find(v.begin(), v.end(), type) != v.end()) return static_cast<int32_t>(0xe00002c2);
  *assertionID = nextAssertion_++;
  assertions_.push_back({*assertionID, type, level, name, false});
  return 0;
}
int32_t SimDesktop::releaseAssertion(uint32_t assertionID) {
  std::lock_guard lock(mutex_);
  for (auto& a : assertions_) {
    if (a.id == assertionID && !a.released) {
      a.released = true;
      return 0;
    }
  }
  return static_cast<int32_t>(0xe00002c2);
}

}  // namespace desktop::sim

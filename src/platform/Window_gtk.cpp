// The GTK 3 window backend: the window description is a GtkBuilder file whose
// object ids are the outlet names; the main queue is drained by the GLib main
// loop. Every GTK call happens on the main thread. The toolkit is loaded when
// this backend is chosen, not linked: the program starts where it is missing.
#include <gtk/gtk.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/Bundle.h"
#include "platform/CallbackGuard.h"
#include "platform/DynamicLibrary.h"
#include "platform/Environment.h"
#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Window.h"

namespace platform {

namespace {

constexpr const char* kGtkLibraryName = "libgtk-3.so.0";

// Every toolkit function the backend calls, from GTK and the libraries it
// brings (GDK-Pixbuf, GObject, GLib), resolved through the toolkit's handle.
// The types come from the toolkit's own headers: a changed signature does
// not build.
// clang-format off
#define MI_GTK_FUNCTIONS(F)                                                                                \
  F(gtk_init_check) F(gtk_main) F(gtk_builder_new) F(gtk_builder_add_from_file)                           \
  F(gtk_builder_add_from_string) F(gtk_builder_get_object) F(gtk_widget_show) F(gtk_widget_hide)          \
  F(gtk_widget_get_sensitive) F(gtk_widget_set_sensitive) F(gtk_window_get_type) F(gtk_window_set_title)  \
  F(gtk_window_present) F(gtk_label_get_type) F(gtk_label_set_text) F(gtk_button_get_type)                \
  F(gtk_button_set_label) F(gtk_progress_bar_get_type) F(gtk_progress_bar_set_fraction)                   \
  F(gtk_progress_bar_pulse) F(gtk_image_get_type) F(gtk_image_set_from_pixbuf)                            \
  F(gdk_pixbuf_new_from_file_at_scale) F(g_type_check_instance_is_a) F(g_signal_connect_data)             \
  F(g_object_unref) F(g_idle_add) F(g_timeout_add) F(g_source_remove) F(g_error_free)                    \
  F(gtk_message_dialog_new) F(gtk_dialog_run) F(gtk_window_set_position) F(gtk_window_set_keep_above)  \
  F(gtk_button_clicked) F(gtk_window_close) F(g_main_context_iteration)
// clang-format on

struct GtkFunctions {
#define MI_DECLARE(name) decltype(&::name) name = nullptr;
  MI_GTK_FUNCTIONS(MI_DECLARE)
#undef MI_DECLARE
};

// Set once, on the main thread, before any control or helper thread uses it;
// the toolkit stays loaded for the rest of the process (its types, main loop
// and sources cannot be unloaded).
const GtkFunctions* gtk = nullptr;

// Loads the toolkit and resolves the table; null with the reason when the
// library or one of its functions is missing.
const GtkFunctions* loadToolkit(std::string* reason) {
  static GtkFunctions functions;
  static bool loaded = false;
  if (loaded) return &functions;
  DynamicLibrary library = DynamicLibrary::open(kGtkLibraryName, reason);
  if (!library) return nullptr;
  GtkFunctions resolved;
  bool complete = true;
#define MI_RESOLVE(name) complete = complete && library.resolve(#name, resolved.name, reason);
  MI_GTK_FUNCTIONS(MI_RESOLVE)
#undef MI_RESOLVE
  if (!complete) return nullptr;
  library.keepLoaded();
  functions = resolved;
  loaded = true;
  return &functions;
}

// The object as the toolkit type, or null when it is another kind of object.
template <typename T>
T* objectAs(GObject* object, GType (*type)()) {
  if (!object || !gtk->g_type_check_instance_is_a(reinterpret_cast<GTypeInstance*>(object), type()))
    return nullptr;
  return reinterpret_cast<T*>(object);
}

// Owners of the toolkit's objects: one reference to a GObject, one GError.
struct GObjectUnref {
  void operator()(gpointer object) const { gtk->g_object_unref(object); }
};
template <typename T>
using GObjectReference = std::unique_ptr<T, GObjectUnref>;
struct GErrorFree {
  void operator()(GError* error) const { gtk->g_error_free(error); }
};
using GErrorOwner = std::unique_ptr<GError, GErrorFree>;

constexpr const char* kMainNibFileKey = "NSMainNibFile";
constexpr const char* kDefaultNibName = "MainMenu";
constexpr int kIconSize = 64;

// Used when the bundle has no window description (or a broken one).
constexpr const char* kDefaultDescription = R"(<?xml version="1.0" encoding="UTF-8"?>
<interface>
  <requires lib="gtk+" version="3.20"/>
  <object class="GtkWindow" id="window">
    <property name="default-width">480</property>
    <property name="default-height">160</property>
    <property name="resizable">False</property>
    <property name="window-position">center</property>
    <child>
      <object class="GtkBox">
        <property name="visible">True</property>
        <property name="orientation">horizontal</property>
        <property name="spacing">16</property>
        <property name="margin">16</property>
        <child>
          <object class="GtkImage" id="iconView">
            <property name="visible">True</property>
            <property name="valign">start</property>
            <property name="pixel-size">64</property>
          </object>
        </child>
        <child>
          <object class="GtkBox">
            <property name="visible">True</property>
            <property name="orientation">vertical</property>
            <property name="spacing">8</property>
            <property name="hexpand">True</property>
            <child>
              <object class="GtkLabel" id="label">
                <property name="visible">True</property>
                <property name="xalign">0</property>
              </object>
            </child>
            <child>
              <object class="GtkProgressBar" id="progressBar">
                <property name="visible">True</property>
              </object>
            </child>
            <child>
              <object class="GtkLabel" id="progressLabel">
                <property name="visible">True</property>
                <property name="xalign">0</property>
              </object>
            </child>
            <child>
              <object class="GtkButton" id="cancelButton">
                <property name="label">Cancel</property>
                <property name="visible">True</property>
                <property name="halign">end</property>
              </object>
            </child>
          </object>
        </child>
      </object>
    </child>
  </object>
</interface>
)";

// The main queue on the GLib main loop: one idle source drains the locked
// queue; it yields after a short slice so a flood of progress posts cannot
// starve the redraws.
class GtkMainQueue : public MainQueue {
 public:
  void post(Task task) override {
    bool schedule;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      tasks_.push_back(std::move(task));
      schedule = !scheduled_;
      scheduled_ = true;
    }
    // g_idle_add is safe from any thread; it wakes the main context.
    if (schedule) gtk->g_idle_add(&GtkMainQueue::drain, this);
  }

 private:
  static gboolean drain(gpointer self) noexcept {
    auto* queue = static_cast<GtkMainQueue*>(self);
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
    while (std::chrono::steady_clock::now() < until) {
      Task task;
      {
        std::lock_guard<std::mutex> guard(queue->mutex_);
        if (queue->tasks_.empty()) {
          queue->scheduled_ = false;
          return G_SOURCE_REMOVE;
        }
        task = std::move(queue->tasks_.front());
        queue->tasks_.pop_front();
      }
      // Nothing the task raises unwinds through GLib.
      runMainQueueTask(task);
    }
    return G_SOURCE_CONTINUE;
  }

  std::mutex mutex_;
  std::deque<Task> tasks_;
  bool scheduled_ = false;
};

struct GtkWindowControl : Window {
  explicit GtkWindowControl(GtkWindow* w) : widget(w) {}
  void setTitle(const std::string& title) override { gtk->gtk_window_set_title(widget, title.c_str()); }
  void close() override {
    closed = true;
    gtk->gtk_widget_hide(reinterpret_cast<GtkWidget*>(widget));
  }
  GtkWindow* widget;
  bool closed = false;
};

struct GtkLabelControl : TextField {
  explicit GtkLabelControl(GtkLabel* l) : widget(l) {}
  void setStringValue(const std::string& text) override { gtk->gtk_label_set_text(widget, text.c_str()); }
  GtkLabel* widget;
};

struct GtkButtonControl : Button {
  explicit GtkButtonControl(GtkButton* b) : widget(b) {}
  void setTitle(const std::string& title) override { gtk->gtk_button_set_label(widget, title.c_str()); }
  void setEnabled(bool enabled) override {
    gtk->gtk_widget_set_sensitive(reinterpret_cast<GtkWidget*>(widget), enabled);
  }
  GtkButton* widget;
};

struct GtkProgressControl : ProgressIndicator {
  explicit GtkProgressControl(GtkProgressBar* b) : widget(b) {}
  void setDoubleValue(double value) override {
    this->value = value;
    if (!indeterminate) gtk->gtk_progress_bar_set_fraction(widget, std::clamp(value / 100.0, 0.0, 1.0));
  }
  void setIndeterminate(bool on) override {
    indeterminate = on;
    if (on) {
      gtk->gtk_progress_bar_pulse(widget);
    } else {
      stopPulsing();
      setDoubleValue(value);
    }
  }
  void startAnimation() override {
    if (indeterminate && pulseSource == 0)
      pulseSource = gtk->g_timeout_add(100, &GtkProgressControl::pulse, this);
  }
  void stopPulsing() {
    if (pulseSource != 0) gtk->g_source_remove(pulseSource);
    pulseSource = 0;
  }
  // A pulse that fails stops the pulsing rather than fail ten times a second.
  static gboolean pulse(gpointer self) noexcept {
    auto* control = static_cast<GtkProgressControl*>(self);
    auto step = [control] { gtk->gtk_progress_bar_pulse(control->widget); };
    std::string reason;
    if (guardCallback("gtk pulse", step, &reason)) return G_SOURCE_CONTINUE;
    log("%s [Line %d] the progress bar stops pulsing: %@", __PRETTY_FUNCTION__, __LINE__, reason);
    control->pulseSource = 0;
    return G_SOURCE_REMOVE;
  }
  GtkProgressBar* widget;
  double value = 0;
  bool indeterminate = false;
  guint pulseSource = 0;
};

GObjectReference<GdkPixbuf> loadScaledImage(const std::string& path) {
  GError* error = nullptr;
  GObjectReference<GdkPixbuf> image(
      gtk->gdk_pixbuf_new_from_file_at_scale(path.c_str(), kIconSize, kIconSize, TRUE, &error));
  GErrorOwner ignored(error);
  return image;
}

struct GtkImageControl : ImageView {
  explicit GtkImageControl(GtkImage* i) : widget(i) {}
  bool setImageFromFile(const std::string& path) override {
    GObjectReference<GdkPixbuf> image = loadScaledImage(path);
    // gdk-pixbuf rarely reads .icns; a PNG of the same name is the Linux form.
    if (!image) {
      std::string png = deletingLastPathComponent(path);
      png = joinPath(png, deletingPathExtension(lastPathComponent(path)) + ".png");
      if (png != path) image = loadScaledImage(png);
    }
    if (!image) return false;
    gtk->gtk_image_set_from_pixbuf(widget, image.get());
    return true;
  }
  GtkImage* widget;
};

// The builder's object id as a Widget, wrapped in a Control kept by owner
// and given to the outlet; null (the outlet untouched) when the description
// has no such widget.
template <typename Widget, typename Control, typename Outlet>
Widget* bindOutlet(GtkBuilder* builder, const char* id, GType (*type)(), std::unique_ptr<Control>& owner,
                   Outlet*& outlet) {
  auto* widget = objectAs<Widget>(gtk->gtk_builder_get_object(builder, id), type);
  if (!widget) return nullptr;
  owner = std::make_unique<Control>(widget);
  outlet = owner.get();
  return widget;
}

class GtkWindowSystem : public WindowSystem {
 public:
  WindowOutlets loadWindow(const Bundle& bundle, std::function<void()> cancelAction) override {
    cancelAction_ = std::move(cancelAction);
    GObjectReference<GtkBuilder> builder = loadBuilder(bundle);
    WindowOutlets outlets = {&nothing_, &nothing_, &nothing_, &nothing_, &nothing_, &nothing_};
    GtkBuilder* b = builder.get();
    if (auto* w = bindOutlet<GtkWindow>(b, "window", gtk->gtk_window_get_type, window_, outlets.window))
      gtk->g_signal_connect_data(w, "delete-event", G_CALLBACK(&GtkWindowSystem::onDelete), this, nullptr,
                                 GConnectFlags{});
    bindOutlet<GtkImage>(b, "iconView", gtk->gtk_image_get_type, icon_, outlets.iconView);
    bindOutlet<GtkProgressBar>(b, "progressBar", gtk->gtk_progress_bar_get_type, bar_, outlets.progressBar);
    if (auto* c =
            bindOutlet<GtkButton>(b, "cancelButton", gtk->gtk_button_get_type, button_, outlets.cancelButton))
      gtk->g_signal_connect_data(c, "clicked", G_CALLBACK(&GtkWindowSystem::onCancel), this, nullptr,
                                 GConnectFlags{});
    bindOutlet<GtkLabel>(b, "label", gtk->gtk_label_get_type, label_, outlets.label);
    bindOutlet<GtkLabel>(b, "progressLabel", gtk->gtk_label_get_type, progressLabel_, outlets.progressLabel);
    // The builder is kept: it owns the top-level window and its children,
    // which the outlets use until the process ends.
    builder_ = builder.release();
    return outlets;
  }

  void showWindow() override {
    if (window_ && !window_->closed) gtk->gtk_widget_show(reinterpret_cast<GtkWidget*>(window_->widget));
  }
  void activate() override {
    if (window_ && !window_->closed) gtk->gtk_window_present(window_->widget);
  }
  MainQueue& mainQueue() override { return queue_; }
  [[noreturn]] void run() override {
    while (true) gtk->gtk_main();
  }
  const char* name() const override { return "gtk"; }

  // See driveGtkWindowForTesting.
  void drive(WindowInput input, std::chrono::milliseconds duration) {
    if (input == WindowInput::CancelButton && button_) gtk->gtk_button_clicked(button_->widget);
    if (input == WindowInput::CloseButton && window_) gtk->gtk_window_close(window_->widget);
    auto until = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < until) {
      bool dispatched = gtk->g_main_context_iteration(nullptr, FALSE);
      if (!dispatched) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

 private:
  static GObjectReference<GtkBuilder> loadBuilder(const Bundle& bundle) {
    std::string name = kDefaultNibName;
    if (auto value = bundle.infoDictionary().getString(kMainNibFileKey)) name = *value;
    GObjectReference<GtkBuilder> builder(gtk->gtk_builder_new());
    if (auto path = bundle.pathForResource(name, "ui")) {
      GError* error = nullptr;
      bool loaded = gtk->gtk_builder_add_from_file(builder.get(), path->c_str(), &error);
      GErrorOwner failure(error);
      if (loaded) return builder;
      log("%s [Line %d] window description %@ unusable: %@", __PRETTY_FUNCTION__, __LINE__, *path,
          failure ? failure->message : "unknown error");
      // A description that failed half-way leaves its objects behind.
      builder.reset(gtk->gtk_builder_new());
    }
    gtk->gtk_builder_add_from_string(builder.get(), kDefaultDescription, -1, nullptr);
    return builder;
  }
  static void onCancel(GtkButton*, gpointer self) noexcept {
    static_cast<GtkWindowSystem*>(self)->cancel("gtk cancel");
  }
  // The window manager's close button is Cancel while Cancel can be pressed
  // (always, for a description without the button); afterwards it does
  // nothing. The window itself stays: it goes when the run ends or five
  // seconds after the launch, and its controls stay valid either way.
  static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer self) noexcept {
    auto* system = static_cast<GtkWindowSystem*>(self);
    bool enabled = !system->button_ ||
                   gtk->gtk_widget_get_sensitive(reinterpret_cast<GtkWidget*>(system->button_->widget));
    if (enabled) system->cancel("gtk close");
    return TRUE;
  }
  // The Cancel action for a toolkit signal; what it raises is logged and
  // goes no further than this.
  void cancel(std::string_view callback) noexcept {
    if (!cancelAction_) return;
    std::string reason;
    if (!guardCallback(callback, cancelAction_, &reason))
      log("%s [Line %d] the Cancel action failed: %@", __PRETTY_FUNCTION__, __LINE__, reason);
  }

  GtkMainQueue queue_;
  GtkBuilder* builder_ = nullptr;
  std::function<void()> cancelAction_;
  std::unique_ptr<GtkWindowControl> window_;
  std::unique_ptr<GtkImageControl> icon_;
  std::unique_ptr<GtkProgressControl> bar_;
  std::unique_ptr<GtkButtonControl> button_;
  std::unique_ptr<GtkLabelControl> label_, progressLabel_;
  NullControls nothing_;
};

bool hasDisplay() {
  auto set = [](const char* name) {
    auto value = getEnvironment(name);
    return value && !value->empty();
  };
  return set("DISPLAY") || set("WAYLAND_DISPLAY");
}

}  // namespace

bool showToolkitNotice(const std::optional<std::string>& title, const std::string& message) {
  std::string why;
  if (!hasDisplay() || !(gtk = loadToolkit(&why)) || !gtk->gtk_init_check(nullptr, nullptr)) return false;
  // "%s": the message is shown as it is, never read as a format or markup.
  GtkWidget* dialog = gtk->gtk_message_dialog_new(nullptr, GtkDialogFlags{}, GTK_MESSAGE_ERROR,
                                                  GTK_BUTTONS_OK, "%s", message.c_str());
  auto* window = reinterpret_cast<GtkWindow*>(dialog);
  gtk->gtk_window_set_title(window, title ? title->c_str() : "");
  gtk->gtk_window_set_position(window, GTK_WIN_POS_CENTER);
  gtk->gtk_window_set_keep_above(window, TRUE);
  gtk->gtk_dialog_run(reinterpret_cast<GtkDialog*>(dialog));
  return true;
}

bool driveGtkWindowForTesting(WindowSystem& system, WindowInput input, std::chrono::milliseconds duration) {
  auto* gtkSystem = dynamic_cast<GtkWindowSystem*>(&system);
  if (!gtkSystem) return false;
  gtkSystem->drive(input, duration);
  return true;
}

std::unique_ptr<WindowSystem> makeGtkWindowSystem(int* count, char*** arguments, std::string* reason) {
  std::string why;
  if (!hasDisplay()) {
    why = "no display is set";
  } else if (!(gtk = loadToolkit(&why))) {
    why = "GTK 3 cannot be loaded: " + why;
  } else if (!gtk->gtk_init_check(count, arguments)) {
    why = "GTK 3 cannot open the display";
  } else {
    return std::make_unique<GtkWindowSystem>();
  }
  if (reason) *reason = why;
  return nullptr;
}

}  // namespace platform

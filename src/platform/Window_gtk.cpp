// The GTK 3 window backend: the window description is a GtkBuilder file whose
// object ids are the outlet names; the main queue is drained by the GLib main
// loop. Every GTK call happens on the main thread.
#include <gtk/gtk.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <exception>
#include <mutex>

#include "platform/Bundle.h"
#include "platform/Environment.h"
#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Window.h"

namespace platform {

namespace {

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
    if (schedule) g_idle_add(&GtkMainQueue::drain, this);
  }

 private:
  static gboolean drain(gpointer self) {
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
      // Exceptions must not unwind through GLib.
      try {
        task();
      } catch (const std::exception& e) {
        log("%s [Line %d] main queue task failed: %@", __PRETTY_FUNCTION__, __LINE__, e.what());
      }
    }
    return G_SOURCE_CONTINUE;
  }

  std::mutex mutex_;
  std::deque<Task> tasks_;
  bool scheduled_ = false;
};

struct GtkWindowControl : Window {
  explicit GtkWindowControl(GtkWindow* w) : widget(w) {}
  void setTitle(const std::string& title) override { gtk_window_set_title(widget, title.c_str()); }
  void close() override {
    closed = true;
    gtk_widget_hide(GTK_WIDGET(widget));
  }
  GtkWindow* widget;
  bool closed = false;
};

struct GtkLabelControl : TextField {
  explicit GtkLabelControl(GtkLabel* l) : widget(l) {}
  void setStringValue(const std::string& text) override { gtk_label_set_text(widget, text.c_str()); }
  GtkLabel* widget;
};

struct GtkButtonControl : Button {
  explicit GtkButtonControl(GtkButton* b) : widget(b) {}
  void setTitle(const std::string& title) override { gtk_button_set_label(widget, title.c_str()); }
  void setEnabled(bool enabled) override { gtk_widget_set_sensitive(GTK_WIDGET(widget), enabled); }
  GtkButton* widget;
};

struct GtkProgressControl : ProgressIndicator {
  explicit GtkProgressControl(GtkProgressBar* b) : widget(b) {}
  void setDoubleValue(double value) override {
    this->value = value;
    if (!indeterminate) gtk_progress_bar_set_fraction(widget, std::clamp(value / 100.0, 0.0, 1.0));
  }
  void setIndeterminate(bool on) override {
    indeterminate = on;
    if (on) {
      gtk_progress_bar_pulse(widget);
    } else {
      stopPulsing();
      setDoubleValue(value);
    }
  }
  void startAnimation() override {
    if (indeterminate && pulseSource == 0) pulseSource = g_timeout_add(100, &GtkProgressControl::pulse, this);
  }
  void stopPulsing() {
    if (pulseSource != 0) g_source_remove(pulseSource);
    pulseSource = 0;
  }
  static gboolean pulse(gpointer self) {
    auto* control = static_cast<GtkProgressControl*>(self);
    gtk_progress_bar_pulse(control->widget);
    return G_SOURCE_CONTINUE;
  }
  GtkProgressBar* widget;
  double value = 0;
  bool indeterminate = false;
  guint pulseSource = 0;
};

GdkPixbuf* loadScaledImage(const std::string& path) {
  GError* error = nullptr;
  GdkPixbuf* image = gdk_pixbuf_new_from_file_at_scale(path.c_str(), kIconSize, kIconSize, TRUE, &error);
  if (error) g_error_free(error);
  return image;
}

struct GtkImageControl : ImageView {
  explicit GtkImageControl(GtkImage* i) : widget(i) {}
  bool setImageFromFile(const std::string& path) override {
    GdkPixbuf* image = loadScaledImage(path);
    // gdk-pixbuf rarely reads .icns; a PNG of the same name is the Linux form.
    if (!image) {
      std::string png = deletingLastPathComponent(path);
      png = joinPath(png, deletingPathExtension(lastPathComponent(path)) + ".png");
      if (png != path) image = loadScaledImage(png);
    }
    if (!image) return false;
    gtk_image_set_from_pixbuf(widget, image);
    g_object_unref(image);
    return true;
  }
  GtkImage* widget;
};

class GtkWindowSystem : public WindowSystem {
 public:
  WindowOutlets loadWindow(const Bundle& bundle, std::function<void()> cancelAction) override {
    cancelAction_ = std::move(cancelAction);
    GtkBuilder* builder = loadBuilder(bundle);
    WindowOutlets outlets = {&nothing_, &nothing_, &nothing_, &nothing_, &nothing_, &nothing_};
    if (GObject* o = gtk_builder_get_object(builder, "window"); o && GTK_IS_WINDOW(o)) {
      window_ = std::make_unique<GtkWindowControl>(GTK_WINDOW(o));
      // Closing by the title bar only hides the window: the controls stay valid.
      g_signal_connect(o, "delete-event", G_CALLBACK(gtk_widget_hide_on_delete), nullptr);
      outlets.window = window_.get();
    }
    if (GObject* o = gtk_builder_get_object(builder, "iconView"); o && GTK_IS_IMAGE(o)) {
      icon_ = std::make_unique<GtkImageControl>(GTK_IMAGE(o));
      outlets.iconView = icon_.get();
    }
    if (GObject* o = gtk_builder_get_object(builder, "progressBar"); o && GTK_IS_PROGRESS_BAR(o)) {
      bar_ = std::make_unique<GtkProgressControl>(GTK_PROGRESS_BAR(o));
      outlets.progressBar = bar_.get();
    }
    if (GObject* o = gtk_builder_get_object(builder, "cancelButton"); o && GTK_IS_BUTTON(o)) {
      button_ = std::make_unique<GtkButtonControl>(GTK_BUTTON(o));
      g_signal_connect(o, "clicked", G_CALLBACK(&GtkWindowSystem::onCancel), this);
      outlets.cancelButton = button_.get();
    }
    if (GObject* o = gtk_builder_get_object(builder, "label"); o && GTK_IS_LABEL(o)) {
      label_ = std::make_unique<GtkLabelControl>(GTK_LABEL(o));
      outlets.label = label_.get();
    }
    if (GObject* o = gtk_builder_get_object(builder, "progressLabel"); o && GTK_IS_LABEL(o)) {
      progressLabel_ = std::make_unique<GtkLabelControl>(GTK_LABEL(o));
      outlets.progressLabel = progressLabel_.get();
    }
    // The builder is kept: it owns the top-level window and its children,
    // which the outlets use until the process ends.
    builder_ = builder;
    return outlets;
  }

  void showWindow() override {
    if (window_ && !window_->closed) gtk_widget_show(GTK_WIDGET(window_->widget));
  }
  void activate() override {
    if (window_ && !window_->closed) gtk_window_present(window_->widget);
  }
  MainQueue& mainQueue() override { return queue_; }
  [[noreturn]] void run() override {
    while (true) gtk_main();
  }
  const char* name() const override { return "gtk"; }

 private:
  static GtkBuilder* loadBuilder(const Bundle& bundle) {
    std::string name = kDefaultNibName;
    if (auto value = bundle.infoDictionary().getString(kMainNibFileKey)) name = *value;
    GtkBuilder* builder = gtk_builder_new();
    if (auto path = bundle.pathForResource(name, "ui")) {
      GError* error = nullptr;
      if (gtk_builder_add_from_file(builder, path->c_str(), &error)) return builder;
      log("%s [Line %d] window description %@ unusable: %@", __PRETTY_FUNCTION__, __LINE__, *path,
          error ? error->message : "unknown error");
      if (error) g_error_free(error);
      g_object_unref(builder);
      builder = gtk_builder_new();
    }
    gtk_builder_add_from_string(builder, kDefaultDescription, -1, nullptr);
    return builder;
  }
  static void onCancel(GtkButton*, gpointer self) {
    auto* system = static_cast<GtkWindowSystem*>(self);
    if (system->cancelAction_) system->cancelAction_();
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

std::unique_ptr<WindowSystem> makeGtkWindowSystem(int* count, char*** arguments) {
  if (!hasDisplay()) return nullptr;
  if (!gtk_init_check(count, arguments)) return nullptr;
  return std::make_unique<GtkWindowSystem>();
}

}  // namespace platform

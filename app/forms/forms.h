#pragma once

// The small form layer the windows are written against: an application
// object, forms, push buttons, labels, a multi-line text box, a radio group,
// the open-file dialog and a modal message box. Only what rxflash's two
// windows use. Texts are UTF-8. Positions and sizes are pixels at 96 dpi.
//
// The toolkit behind it is chosen by CMake (forms_wx.cpp: wxWidgets); no
// toolkit type appears here. Each toolkit window is reached through an opaque
// Native pointer and is destroyed with the object that created it.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace forms {

struct Native;  // the toolkit's window behind a form or control

class Component {
 public:
  virtual ~Component() = default;
};

// An event handler; sender is the component the event happened to.
using NotifyEvent = std::function<void(Component* sender)>;

struct Rect {
  int left = 0, top = 0, width = 0, height = 0;
};

struct Size {
  int width = 0, height = 0;
};

enum class FormKind {
  MainWindow,  // system menu and minimise buttons; closing it ends the program
  Dialog,      // close button only; shown modally
};

struct FormLayout {
  FormKind kind = FormKind::Dialog;
  int left = 0, top = 0;                // the window's place on the screen
  int clientWidth = 0, clientHeight = 0;
};

// A top-level window with a fixed single border, the button face colour and
// an 8-point sans-serif font that its controls take over.
class Form : public Component {
 public:
  explicit Form(const FormLayout& layout);
  ~Form() override;
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;

  std::string Caption() const;
  void SetCaption(const std::string& text);
  void Show();
  void ShowModal();  // returns when the form closes, however it closes
  // Closes the form: ends its modal showing, or, for the main window, the
  // program once the command that is running has returned.
  void Close();
  bool Visible() const;
  Rect ClientBounds() const;  // client area on the screen
  FormKind Kind() const { return kind_; }

  NotifyEvent OnCreate;

  Native* native() const { return native_; }
  Native* client() const { return client_; }

 private:
  FormKind kind_;
  int left_, top_;
  Native* native_ = nullptr;
  Native* client_ = nullptr;  // the area the controls sit on
};

class Control : public Component {
 public:
  ~Control() override;
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  bool Enabled() const;
  void SetEnabled(bool enabled);
  Rect Bounds() const;          // relative to the form's client area
  Size PreferredSize() const;   // what the toolkit needs to show the text whole
  // Puts this control right after the other one in the tab order.
  void MoveAfterInTabOrder(const Control& other);

 protected:
  Control() = default;
  Native* native_ = nullptr;
};

class Button : public Control {
 public:
  Button(Form& owner, const Rect& bounds, const std::string& text);
  std::string Text() const;
  // Presses the button as a click would: nothing happens while it is disabled.
  void Click();
  NotifyEvent OnClick;
};

// A label sized to its text.
class Label : public Control {
 public:
  Label(Form& owner, int left, int top, const std::string& text);
  std::string Text() const;
};

// A multi-line text box with a vertical scroll bar.
class Memo : public Control {
 public:
  Memo(Form& owner, const Rect& bounds);
  void Clear();
  void Append(const std::string& line);  // a line at the end
  std::vector<std::string> Lines() const;
};

// A group of exclusive choices, one per line, under a caption.
class RadioGroup : public Control {
 public:
  RadioGroup(Form& owner, const Rect& bounds, const std::string& caption,
             const std::vector<std::string>& items);
  int ItemIndex() const;  // -1 when none is selected
  void SetItemIndex(int index);  // OnClick is not run
  NotifyEvent OnClick;          // a click on an item
};

// The open-file dialog. Filter is "label|pattern[|label|pattern...]".
class OpenDialog : public Component {
 public:
  explicit OpenDialog(Form& owner) : owner_(owner) {}
  std::string Filter, Title, FileName;
  // Shows the dialog; true and FileName set to the chosen path when the user
  // chose a file, false when the dialog was cancelled.
  bool Execute();

 private:
  Form& owner_;
};

// A modal box with no owner window, the toolkit's default caption and an OK
// button.
void MessageBox(const std::string& text);

// What a modal showing is about, for a hook that watches or answers it.
struct ModalShowing {
  enum class Kind { MessageBox, OpenDialog, Form } kind;
  std::string text;  // the box's text, the dialog's title or the form's caption
  OpenDialog* dialog = nullptr;
  Form* form = nullptr;
};

// Sees every modal showing before it appears. It returns the showing's answer
// (OK or cancel; for an open dialog it may set FileName first) in place of a
// person, or nothing to let the showing appear. Tests install one.
using ModalHook = std::function<std::optional<bool>(const ModalShowing&)>;
ModalHook SetModalHook(ModalHook hook);

class Application {
 public:
  // Connects to the display. Arguments the toolkit knows are taken out.
  Application(int& argc, char** argv);
  // Destroys the forms, then lets the toolkit go.
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  bool Initialized() const { return initialized_; }

  // Creates a form that lives until the application ends, stores it in ref
  // and then runs its OnCreate. The first main window created is the one whose
  // closing ends the program.
  template <class T>
  void CreateForm(T*& ref) {
    auto form = std::make_unique<T>();
    ref = form.get();
    Adopt(std::move(form), [&ref] { ref = nullptr; });
  }

  // Shows the main window and handles events until it is closed.
  void Run();
  // Handles the events that are waiting, then returns.
  void ProcessMessages();
  // Queues a call that runs on this thread once events are next handled:
  // how a test acts from inside a running command or a modal showing.
  void Post(std::function<void()> call);
  // True once the main window was asked to close.
  bool Terminated() const { return terminated_; }
  // The standard display of an error that escaped an event handler.
  void ShowException(const std::string& what);

  // Destroys the forms, last created first, and clears the pointers
  // CreateForm stored.
  void DestroyForms();

  // Runs an event handler: an error escaping it is shown and the program goes
  // on; a close of the main window asked for meanwhile takes effect after it.
  void Dispatch(const std::function<void()>& handler);
  // The main window was asked to close.
  void RequestTerminate();

 private:
  void Adopt(std::unique_ptr<Form> form, std::function<void()> forget);
  void EndIfTerminated();

  bool entered_ = false;  // the toolkit was started
  bool initialized_ = false;
  bool terminated_ = false;
  int handlerDepth_ = 0;
  Form* mainForm_ = nullptr;
  struct Owned {
    std::unique_ptr<Form> form;
    std::function<void()> forget;  // clears the pointer to it
  };
  std::vector<Owned> forms_;
};

// The application object of this program.
Application& App();

}  // namespace forms

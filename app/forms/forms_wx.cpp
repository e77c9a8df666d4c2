// The form layer on wxWidgets. Every toolkit window is created here and
// destroyed with the layer object that created it; the toolkit never destroys
// one behind the layer's back.

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/filedlg.h>
#include <wx/frame.h>
#include <wx/msgdlg.h>
#include <wx/panel.h>
#include <wx/radiobox.h>
#include <wx/settings.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/wx.h>

#ifdef __WXGTK__
#include <gtk/gtk.h>
#endif

#include <exception>

#include "forms.h"

namespace forms {
namespace {

Application* current = nullptr;
ModalHook modalHook;

// Native is the opaque face of a wxWindow.
wxWindow* W(Native* native) { return reinterpret_cast<wxWindow*>(native); }
Native* N(wxWindow* window) { return reinterpret_cast<Native*>(window); }

wxString Wx(const std::string& text) { return wxString::FromUTF8(text.c_str()); }
std::string Utf8(const wxString& text) { return std::string(text.utf8_str()); }

// Runs an event handler, if there is one, as the application runs
// every handler.
void Notify(const NotifyEvent& handler, Component* sender) {
  App().Dispatch([&] {
    if (handler) handler(sender);
  });
}

std::optional<bool> AskHook(const ModalShowing& showing) {
  if (!modalHook) return std::nullopt;
  return modalHook(showing);
}

// In place of "MS Sans Serif" 8 point: Liberation Sans has about its widths,
// so the texts fit the window as laid out; any sans-serif face stands in.
wxFont FormFont() {
  return wxFont(wxFontInfo(8).Family(wxFONTFAMILY_SWISS).FaceName("Liberation Sans"));
}

// Every control is given the form's font rather than left to inherit it,
// which the toolkit does not do for every kind of control.
Native* WithFormFont(wxWindow* control) {
  control->SetFont(FormFont());
  return N(control);
}

// The default GTK theme pads a button to more than the 25 pixels the
// dialog's OK button has; Windows buttons are compact, so these are too.
void UseCompactButtons() {
#ifdef __WXGTK__
  GtkCssProvider* css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css, "button { padding: 2px 6px; min-height: 0; min-width: 0; }",
                                  -1, nullptr);
  gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(css);
#endif
}

class BackendApp : public wxApp {
 public:
  // The program takes no arguments, so none is parsed.
  bool OnInit() override {
    SetExitOnFrameDelete(false);
    return true;
  }
  bool OnExceptionInMainLoop() override {
    ShowCurrentException();
    return true;
  }
  void OnUnhandledException() override { ShowCurrentException(); }

  static void ShowCurrentException() {
    try {
      throw;
    } catch (const std::exception& e) {
      App().ShowException(e.what());
    } catch (...) {
      App().ShowException("Unknown error");
    }
  }
};

}  // namespace

// ---- Form

Form::Form(const FormLayout& layout)
    : kind_(layout.kind), left_(layout.left), top_(layout.top) {
  const wxPoint place(layout.left, layout.top);
  wxTopLevelWindow* top = nullptr;
  if (kind_ == FormKind::MainWindow) {
    top = new wxFrame(nullptr, wxID_ANY, wxString(), place, wxDefaultSize,
                      wxCAPTION | wxSYSTEM_MENU | wxMINIMIZE_BOX | wxCLOSE_BOX);
    // The main window is never destroyed by a close: the application ends
    // the program once the running command is done.
    top->Bind(wxEVT_CLOSE_WINDOW, [](wxCloseEvent& event) {
      if (event.CanVeto()) event.Veto();
      App().RequestTerminate();
    });
  } else {
    top = new wxDialog(nullptr, wxID_ANY, wxString(), place, wxDefaultSize,
                       wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX | wxDIALOG_NO_PARENT);
  }
  top->SetFont(FormFont());
  auto* panel = new wxPanel(top, wxID_ANY, wxPoint(0, 0),
                            wxSize(layout.clientWidth, layout.clientHeight));
  panel->SetBackgroundColour(wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE));
  panel->SetFont(FormFont());
  top->SetClientSize(layout.clientWidth, layout.clientHeight);
  top->SetSizeHints(top->GetSize(), top->GetSize());
  native_ = N(top);
  client_ = N(panel);
}

Form::~Form() {
  // The controls, members of the derived form, are gone already.
  auto* top = static_cast<wxTopLevelWindow*>(W(native_));
  top->Hide();
  top->Destroy();
}

std::string Form::Caption() const { return Utf8(W(native_)->GetLabel()); }
void Form::SetCaption(const std::string& text) { W(native_)->SetLabel(Wx(text)); }
void Form::Show() {
  W(native_)->Show();
  // Labels are sized to their texts. GTK measures a label in the form's
  // font only once the window is realised, so they are measured again here.
  for (wxWindow* child : W(client_)->GetChildren()) {
    if (!dynamic_cast<wxStaticText*>(child)) continue;
    child->InvalidateBestSize();
    child->SetSize(child->GetBestSize());
  }
}
bool Form::Visible() const { return W(native_)->IsShown(); }

void Form::ShowModal() {
  if (AskHook({ModalShowing::Kind::Form, Caption(), nullptr, this})) return;
  if (kind_ != FormKind::Dialog) return;
  // Put the dialog back at its place before each showing. wxWidgets skips a
  // move to the place it believes the window is at, hence the step aside.
  auto* dialog = static_cast<wxDialog*>(W(native_));
  dialog->Move(left_ + 1, top_);
  dialog->Move(left_, top_);
  dialog->ShowModal();
}

void Form::Close() { W(native_)->Close(); }

Rect Form::ClientBounds() const {
  const wxWindow* panel = W(client_);
  const wxPoint origin = panel->GetScreenPosition();
  const wxSize size = panel->GetSize();
  return {origin.x, origin.y, size.x, size.y};
}

// ---- Controls

Control::~Control() {
  // A child window is deleted at once, so no event reaches this object later.
  if (native_) W(native_)->Destroy();
}

bool Control::Enabled() const { return W(native_)->IsEnabled(); }
void Control::SetEnabled(bool enabled) { W(native_)->Enable(enabled); }

Rect Control::Bounds() const {
  const wxRect r = W(native_)->GetRect();
  return {r.x, r.y, r.width, r.height};
}

Size Control::PreferredSize() const {
  wxWindow* window = W(native_);
  window->InvalidateBestSize();  // the cached size may predate the font
  const wxSize best = window->GetBestSize();
  return {best.x, best.y};
}

void Control::MoveAfterInTabOrder(const Control& other) {
  W(native_)->MoveAfterInTabOrder(W(other.native_));
}

Button::Button(Form& owner, const Rect& b, const std::string& text) {
  // Exact fit: the preferred size is what the text needs, not a minimum width.
  auto* button = new wxButton(W(owner.client()), wxID_ANY, Wx(text), wxPoint(b.left, b.top),
                              wxSize(b.width, b.height), wxBU_EXACTFIT);
  button->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Click(); });
  native_ = WithFormFont(button);
}

std::string Button::Text() const { return Utf8(W(native_)->GetLabel()); }

void Button::Click() {
  if (!Enabled()) return;
  Notify(OnClick, this);
}

Label::Label(Form& owner, int left, int top, const std::string& text) {
  auto* label = new wxStaticText(W(owner.client()), wxID_ANY, Wx(text), wxPoint(left, top));
  native_ = WithFormFont(label);
  label->SetSize(label->GetTextExtent(Wx(text)));  // measured again once shown
}

std::string Label::Text() const { return Utf8(W(native_)->GetLabel()); }

Memo::Memo(Form& owner, const Rect& b) {
  native_ = WithFormFont(new wxTextCtrl(W(owner.client()), wxID_ANY, wxString(),
                                        wxPoint(b.left, b.top), wxSize(b.width, b.height),
                                        wxTE_MULTILINE | wxVSCROLL | wxALWAYS_SHOW_SB));
}

void Memo::Clear() { static_cast<wxTextCtrl*>(W(native_))->Clear(); }

void Memo::Append(const std::string& line) {
  static_cast<wxTextCtrl*>(W(native_))->AppendText(Wx(line) + "\n");
}

std::vector<std::string> Memo::Lines() const {
  const std::string text = Utf8(static_cast<wxTextCtrl*>(W(native_))->GetValue());
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

RadioGroup::RadioGroup(Form& owner, const Rect& b, const std::string& caption,
                       const std::vector<std::string>& items) {
  wxArrayString choices;
  for (const auto& item : items) choices.Add(Wx(item));
  auto* box = new wxRadioBox(W(owner.client()), wxID_ANY, Wx(caption), wxPoint(b.left, b.top),
                             wxSize(b.width, b.height), choices, 1, wxRA_SPECIFY_COLS);
  box->Bind(wxEVT_RADIOBOX, [this](wxCommandEvent&) { Notify(OnClick, this); });
  native_ = WithFormFont(box);
}

int RadioGroup::ItemIndex() const { return static_cast<wxRadioBox*>(W(native_))->GetSelection(); }

void RadioGroup::SetItemIndex(int index) {
  static_cast<wxRadioBox*>(W(native_))->SetSelection(index);
}

// ---- Dialogs and boxes

bool OpenDialog::Execute() {
  if (auto answer = AskHook({ModalShowing::Kind::OpenDialog, Title, this, nullptr})) return *answer;
  wxFileDialog dialog(W(owner_.native()), Wx(Title), wxString(), Wx(FileName), Wx(Filter),
                      wxFD_OPEN);
  if (dialog.ShowModal() != wxID_OK) return false;
  FileName = Utf8(dialog.GetPath());
  return true;
}

void MessageBox(const std::string& text) {
  if (AskHook({ModalShowing::Kind::MessageBox, text, nullptr, nullptr})) return;
  wxMessageDialog box(nullptr, Wx(text), wxMessageBoxCaptionStr, wxOK | wxDIALOG_NO_PARENT);
  box.ShowModal();
}

ModalHook SetModalHook(ModalHook hook) {
  ModalHook previous = std::move(modalHook);
  modalHook = std::move(hook);
  return previous;
}

// ---- Application

Application::Application(int& argc, char** argv) {
  current = this;
  wxApp::SetInstance(new BackendApp);
  entered_ = wxEntryStart(argc, argv);
  initialized_ = entered_ && wxTheApp->CallOnInit();
  if (initialized_) UseCompactButtons();
}

Application::~Application() {
  DestroyForms();
  if (entered_) {
    if (initialized_) wxTheApp->OnExit();
    wxEntryCleanup();
  }
  current = nullptr;
}

Application& App() { return *current; }

void Application::Adopt(std::unique_ptr<Form> form, std::function<void()> forget) {
  Form* created = form.get();
  forms_.push_back({std::move(form), std::move(forget)});
  if (!mainForm_ && created->Kind() == FormKind::MainWindow) mainForm_ = created;
  Notify(created->OnCreate, created);
}

void Application::DestroyForms() {
  while (!forms_.empty()) {
    Owned last = std::move(forms_.back());
    forms_.pop_back();
    last.form.reset();
    last.forget();
  }
  mainForm_ = nullptr;
  terminated_ = false;
}

void Application::Run() {
  if (!initialized_ || !mainForm_) return;
  mainForm_->Show();
  if (!terminated_) wxTheApp->OnRun();
}

void Application::ProcessMessages() { wxTheApp->Yield(true); }

void Application::Post(std::function<void()> call) {
  wxTheApp->CallAfter([this, call = std::move(call)] { Dispatch(call); });
}

void Application::ShowException(const std::string& what) { MessageBox(what); }

void Application::Dispatch(const std::function<void()>& handler) {
  ++handlerDepth_;
  try {
    handler();
  } catch (const std::exception& e) {
    ShowException(e.what());
  } catch (...) {
    ShowException("Unknown error");
  }
  --handlerDepth_;
  EndIfTerminated();
}

void Application::RequestTerminate() {
  terminated_ = true;
  EndIfTerminated();
}

void Application::EndIfTerminated() {
  if (!terminated_ || handlerDepth_ > 0) return;
  if (mainForm_) W(mainForm_->native())->Hide();
  wxTheApp->ExitMainLoop();
}

}  // namespace forms

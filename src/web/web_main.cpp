// The module's face to the page (embind): one book at a time, every answer an object with
// either what was asked or "error", the message to show.
#include "web/u_WebBook.h"

#include "common/u_AnsiText.h"

#include <emscripten/bind.h>
#include <emscripten/val.h>

using emscripten::val;

namespace {

std::string BytesOf(const val& array) {
  std::string bytes(array["length"].as<size_t>(), '\0');
  val(emscripten::typed_memory_view(bytes.size(), reinterpret_cast<uint8_t*>(bytes.data())))
      .call<void>("set", array);
  return bytes;
}

val ArrayOf(const std::string& bytes) {
  return val::global("Uint8Array")
      .new_(emscripten::typed_memory_view(bytes.size(),
                                          reinterpret_cast<const uint8_t*>(bytes.data())));
}

TWebEdits EditsOf(const val& edits) {
  TWebEdits result;
  const size_t count = edits["length"].as<size_t>();
  for (size_t i = 0; i < count; ++i) {
    const val edit = edits[i];
    if (edit.isString())
      result.emplace_back(edit.as<std::string>());
    else
      result.emplace_back();
  }
  return result;
}

val ViewObject(const TWebBookView& view) {
  val object = val::object();
  object.set("title", view.Title);
  object.set("codePage", view.CodePage);
  object.set("signed", view.Signed);
  object.set("icon", ArrayOf(view.Icon));
  val rows = val::array();
  for (const TWebRow& row : view.Rows) {
    val item = val::object();
    item.set("name", row.Name);
    item.set("stored", row.Stored);
    item.set("shown", row.Shown);
    val from = val::array();
    for (const std::string& name : row.From)
      from.call<void>("push", name);
    item.set("from", from);
    rows.call<void>("push", item);
  }
  object.set("rows", rows);
  return object;
}

val Failure(const std::string& message) {
  val object = val::object();
  object.set("error", message);
  return object;
}

TEBookProgressEvent ProgressTo(val onProgress) {
  if (onProgress.typeOf().as<std::string>() != "function")
    return {};
  return [onProgress](TEBookStep step, int percent) { onProgress(int(step), percent); };
}

class TWebCore {
public:
  val Open(val bytes, std::string name, int codePage, val onProgress) {
    return Answer([&] {
      FBook.Open(BytesOf(bytes), name, codePage, ProgressTo(onProgress));
      val object = val::object();
      object.set("view", ViewObject(FBook.View({})));
      return object;
    });
  }
  val View(val edits) {
    return Answer([&] {
      val object = val::object();
      object.set("view", ViewObject(FBook.View(EditsOf(edits))));
      return object;
    });
  }
  val SetIcon(val bytes) {
    return Answer([&] {
      FBook.SetIcon(BytesOf(bytes));
      return val::object();
    });
  }
  val Brand(val edits, val epoch) {
    return Answer([&] {
      bool signatureRemoved = false;
      const std::string image = FBook.Brand(
          EditsOf(edits),
          epoch.isNumber() ? std::optional<long long>(epoch.as<double>()) : std::nullopt,
          signatureRemoved);
      val object = val::object();
      object.set("bytes", ArrayOf(image));
      object.set("signatureRemoved", signatureRemoved);
      return object;
    });
  }

private:
  template <class TAction> val Answer(const TAction& action) {
    try {
      return action();
    } catch (const std::bad_alloc&) {
      return Failure("Not enough memory for this book");
    } catch (const std::exception& e) {
      return Failure(FBook.MessageOf(e));
    }
  }

  TWebBook FBook;
};

val CodePages() {
  val list = val::array();
  for (int number : AnsiCodePages())
    list.call<void>("push", number);
  return list;
}

// The one the native programs take for the browser's language (the module's LANG).
int DefaultCodePage() {
  return TCodePage::ForLocale().Number();
}

} // namespace

EMSCRIPTEN_BINDINGS(folioset) {
  emscripten::class_<TWebCore>("Core")
      .constructor<>()
      .function("open", &TWebCore::Open)
      .function("view", &TWebCore::View)
      .function("setIcon", &TWebCore::SetIcon)
      .function("brand", &TWebCore::Brand);
  emscripten::function("codePages", &CodePages);
  emscripten::function("defaultCodePage", &DefaultCodePage);
}

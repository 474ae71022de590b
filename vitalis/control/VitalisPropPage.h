// The control's property page. The control has no properties, so the page holds only its
// caption and one line of text.
#pragma once

class CVitalisPropPage {
 public:
  const char* GetCaption() const { return "General"; }
  const char* GetText() const {
    return "TODO: Place controls to manipulate properties of Vitalis Control on this dialog.";
  }
};

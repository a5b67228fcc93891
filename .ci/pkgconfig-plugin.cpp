// A plug-in as a third party writes it: installed headers only, built with the
// flags pkg-config gives for zrplugin and zrlib (see .ci/check-pkgconfig).

#include <plugin-api/PluginApi.h>
#include <zrlib/utf/ConvertUTF.h>

ZR_PLUGIN_EXPORT IPluginInfo* GetPluginInfo() {
  // Calls into libZRLib so a missing -lZRLib fails the link.
  const UTF8 text[] = "zr";
  const UTF8* source = text;
  UTF16 wide[4];
  UTF16* target = wide;
  (void)ConvertUTF8toUTF16(&source, text + 2, &target, wide + 4, strictConversion);
  return nullptr;
}

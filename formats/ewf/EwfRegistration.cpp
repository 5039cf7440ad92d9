#include "formats/ewf/E01Archive.h"
#include "formats/ewf/Ex01Archive.h"
#include "formats/ewf/L01Archive.h"
#include "formats/ewf/Lx01Archive.h"
#include "plugin/Registry.h"

void RegisterEwfClasses(Tvor7zRegistry &registry) {
  static const TArchiveClassOf<Tvor7zE01Archive> e01;
  static const TArchiveClassOf<Tvor7zL01Archive> l01;
  static const TArchiveClassOf<Tvor7zEx01Archive> ex01;
  static const TArchiveClassOf<Tvor7zLx01Archive> lx01;
  registry.RegisterArchiveClass(&e01);
  registry.RegisterArchiveClass(&l01);
  registry.RegisterArchiveClass(&ex01);
  registry.RegisterArchiveClass(&lx01);
}

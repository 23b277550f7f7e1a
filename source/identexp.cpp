#include "identexp.h"

#include "errorhlr.h"
#include "exprsion.h"
#include "tavokassert.h"

static Expression *makeIdentifierLeaf(IdentifierRecord *record) {
  Expression *leaf = createOperatorExpression(IdentifierLeaf);
  leaf->identifier.index = getIdentifierIndex(record);
  leaf->identifier.record = record;
  return leaf;
}

// The undeclared name becomes a variable of the function that is marked as
// already reported, so that its later uses and a late declaration stay
// silent. A declaration past a variable limit yields no record but still
// links it, hence the second look-up.
static void declareErrorIdentifier(NameId name) {
  IdentifierKey key{.name = name, .nameSpace = FL_VARIABLE};
  IdentifierRecord *record = declareIdentifier(key);
  if (!record)
    record = findIdentifier(key);
  ASSERT(record);
  record->state = errorIdentifier;
}

Expression *makeVariableExpression(NameId name) {
  IdentifierRecord *record = findIdentifier({.name = name, .nameSpace = FL_VARIABLE});
  if (!record) {
    reportError(IdentifierNotDeclared);
    declareErrorIdentifier(name);
    return nullptr;
  }
  if (record->state == errorIdentifier) {
    suppressErrorMessage();
    return nullptr;
  }
  return makeIdentifierLeaf(record);
}

Expression *makeFunctionExpression(NameId name) {
  IdentifierKey key{.name = name, .nameSpace = FL_FUNCTION};
  IdentifierRecord *record = findIdentifier(key);
  if (!record) {
    record = declareIdentifier(key);
    if (!record)  // beyond the 256 function names a call can encode
      return nullptr;
    reportWarning(FunctionUsedBeforeDeclaration);
  }
  return makeIdentifierLeaf(record);
}

// The abstract-tree dump (-d): one line per distinct node in post-order,
// "<order>\t<label>" followed by ",<order>" for each child.
#pragma once

struct AbstractTree;

void printAbstractTree(AbstractTree *tree);

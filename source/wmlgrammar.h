// The parser: its reduction actions compile every function and, from the
// start rule, write the compiled unit.
#pragma once

int yyparse();

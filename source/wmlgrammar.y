/* The grammar of a WMLScript compilation unit with its actions. There is no
 * separate pass: each action checks and builds as soon as its rule is
 * reduced, every function is lowered to basic blocks while it is parsed and
 * compiled at the end of its definition, and the reduction of the start rule
 * writes the compiled unit.
 *
 * The rules stand in the order of their numbers, marker rules included:
 * Bison breaks ties between reductions by rule order, and in a few states
 * that decides which error message a broken input gets. A failing action
 * enters error recovery without a message of its own (YYERROR): the
 * operation that failed has already reported and marked its error, and the
 * error rule that recovers counts it. */

%define api.header.include {"wmlgrammar.tab.h"}

%code requires {
#include "exprsion.h"
#include "strtable.h"

#include <cstdint>
}

%code {
#include "binopexp.h"
#include "codegen.h"
#include "constpool.h"
#include "emitcode.h"
#include "emitstat.h"
#include "errorhlr.h"
#include "identexp.h"
#include "pragma.h"
#include "stmntir.h"
#include "tavokassert.h"
#include "wmllex.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

// The stacks start at 150 entries and double; only exhausted memory stops them.
#define YYINITDEPTH 150
#define YYMAXDEPTH 1000000000

static void yyerror(const char *condition);
static int nextToken();
#define yylex nextToken

// The actions of rules that do more than one call; each returns false (or
// null) when the rule fails, after releasing what it was given.
#define BINARY(result, op, left, right) \
  do { if (!((result) = buildBinaryExpression((op), (left), (right)))) YYERROR; } while (0)
static void writeUnitAndDebugFile();
static Expression *buildIncrement(ExpressionOperator op, NameId variable);
static Expression *buildAssignmentTo(NameId target, ExpressionOperator op, Expression *value);
static bool declareLocalVariable(NameId name, Expression *initialiser);
static bool beginFor(Expression *initial, Expression *condition, Expression *increment);
static IdentifierRecord *declareFunctionHeader(NameId name);
static bool declareParameter(NameId name, int parameterCount);
static void beginPlaceholderFunction();
static void beginBrokenFunction(IdentifierRecord *function);
static bool declareExternalUnit(NameId name, char *url);
static bool pragmaStringIndex(char *decoded, std::uint32_t *index);
static int skipCopyReductions(int below, int state, int rule, int lookahead);
}

%union {
  NameId nameId;
  const char *text;
  char *decoded;
  Expression *expression;
  ParameterList *arguments;
  ExpressionOperator assignmentOperator;
  IdentifierRecord *record;
  int count;
  std::uint32_t poolIndex;
}

/* Token codes, one table for the lexical analyser and the parser. */
%token PlusAssignToken 257 "+="
%token BitAndToken 258 "&"
%token AndToken 259 "&&"
%token BitAndAssignToken 260 "&="
%token AssignToken 261 "="
%token BitNotToken 262 "~"
%token BitOrToken 263 "|"
%token BitXorToken 264 "^"
%token ColonToken 265 ":"
%token CommaToken 266 ","
%token DecrementToken 267 "--"
%token DivideToken 268 "/"
%token DivideAssignToken 269 "/="
%token DotToken 270 "."
%token EqualToken 271 "=="
%token GreaterEqualToken 272 ">="
%token GreaterToken 273 ">"
%token IntegerDivideAssignToken 274 "div="
%token IncrementToken 275 "++"
%token LessEqualToken 276 "<="
%token LeftShiftToken 277 "<<"
%token LeftShiftAssignToken 278 "<<="
%token LeftParenToken 279 "("
%token LessToken 280 "<"
%token MinusToken 281 "-"
%token RemainderToken 282 "%"
%token RemainderAssignToken 283 "%="
%token MultiplyAssignToken 284 "*="
%token NotEqualToken 285 "!="
%token NotToken 286 "!"
%token OrToken 287 "||"
%token BitOrAssignToken 288 "|="
%token PlusToken 289 "+"
%token QuestionToken 290 "?"
%token RightShiftToken 291 ">>"
%token RightShiftAssignToken 292 ">>="
%token RightParenToken 293 ")"
%token UnsignedRightShiftToken 294 ">>>"
%token UnsignedRightShiftAssignToken 295 ">>>="
%token MultiplyToken 296 "*"
%token MinusAssignToken 297 "-="
%token BitXorAssignToken 298 "^="
%token LeftBraceToken 299 "{"
%token RightBraceToken 300 "}"
%token SemicolonToken 301 ";"
%token HashToken 302 "#"
%token AccessKeyword 303 "access"
%token AgentKeyword 304 "agent"
%token BreakKeyword 305 "break"
%token CaseKeyword 306 "case"
%token CatchKeyword 307 "catch"
%token ClassKeyword 308 "class"
%token ConstKeyword 309 "const"
%token ContinueKeyword 310 "continue"
%token DebuggerKeyword 311 "debugger"
%token DefaultKeyword 312 "default"
%token DeleteKeyword 313 "delete"
%token DivKeyword 314 "div"
%token DoKeyword 315 "do"
%token DomainKeyword 316 "domain"
%token ElseKeyword 317 "else"
%token EnumKeyword 318 "enum"
%token EquivKeyword 319 "equiv"
%token ExportKeyword 320 "export"
%token ExtendsKeyword 321 "extends"
%token ExternKeyword 322 "extern"
%token FalseKeyword 323 "false"
%token FinallyKeyword 324 "finally"
%token ForKeyword 325 "for"
%token FunctionKeyword 326 "function"
%token HeaderKeyword 327 "header"
%token HttpKeyword 328 "http"
%token IfKeyword 329 "if"
%token ImportKeyword 330 "import"
%token InKeyword 331 "in"
%token InvalidKeyword 332 "invalid"
%token IsvalidKeyword 333 "isvalid"
%token LibKeyword 334 "lib"
%token MetaKeyword 335 "meta"
%token NameKeyword 336 "name"
%token NewKeyword 337 "new"
%token NullKeyword 338 "null"
%token PathKeyword 339 "path"
%token PrivateKeyword 340 "private"
%token PublicKeyword 341 "public"
%token ReturnKeyword 342 "return"
%token SizeofKeyword 343 "sizeof"
%token StructKeyword 344 "struct"
%token SuperKeyword 345 "super"
%token SwitchKeyword 346 "switch"
%token ThisKeyword 347 "this"
%token ThrowKeyword 348 "throw"
%token TrueKeyword 349 "true"
%token TryKeyword 350 "try"
%token TypeofKeyword 351 "typeof"
%token UseKeyword 352 "use"
%token UserKeyword 353 "user"
%token VarKeyword 354 "var"
%token VoidKeyword 355 "void"
%token WithKeyword 356 "with"
%token WhileKeyword 357 "while"
%token UrlKeyword 358 "url"
%token INVALID_TOKEN 359 "invalid character"
%token UNUSED_TOKEN 360
%token <text> INTEGER_LITERAL 361
%token <text> FLOAT_LITERAL 362
%token <text> STRING_LITERAL 363
%token <nameId> IDENTIFIER 364

%type <expression> PrimaryExpression Literal InvalidLiteral BooleanLiteral NumberLiteral
%type <decoded> StringLiteral
%type <expression> CallExpression LocalFunctionCall ExternalFunctionCall LibraryFunctionCall
%type <expression> FunctionName
%type <nameId> LibraryFunctionName ExternalFunctionName ExternalScriptName LibraryName
%type <arguments> Arguments ArgumentList
%type <expression> PostfixExpression UnaryExpression MultiplicativeExpression AdditiveExpression
%type <expression> ShiftExpression RelationalExpression EqualityExpression BitwiseAndExpression
%type <expression> BitwiseXorExpression BitwiseOrExpression LogicalAndExpression
%type <expression> LogicalOrExpression ConditionalExpression AssignmentExpression Expression
%type <assignmentOperator> AssignmentOperator
%type <expression> VariableInitializer WhileTestMarker WhileCondition OptionalExpression
%type <count> FormalParameters FormalParameterList
%type <record> FunctionHeader
%type <poolIndex> MetaPropertyName MetaContent MetaScheme

/* Values the parser throws away during error recovery are released; an
 * action that fails releases its own right-hand side. */
%destructor { if ($$) releaseExpression($$); } <expression>
%destructor { if ($$) freeParameterList($$); } <arguments>
%destructor { std::free($$); } <decoded>

/* The dangling else attaches to the nearest open if. */
%expect 1

%start CompilationUnit

%%

/* Compilation unit (1-2). */
CompilationUnit
  : Pragmas FunctionDeclarations  { writeUnitAndDebugFile(); }
  | FunctionDeclarations          { writeUnitAndDebugFile(); }
  ;

/* Primary expressions and literals (3-15). */
PrimaryExpression
  : IDENTIFIER  { if (!($$ = makeVariableExpression($1))) YYERROR; }
  | Literal     { $$ = $1; }
  | "(" Expression ")"  { $$ = $2; }
  ;

Literal
  : InvalidLiteral  { $$ = $1; }
  | BooleanLiteral  { $$ = $1; }
  | NumberLiteral   { $$ = $1; }
  | StringLiteral   { $$ = stringLiteral($1); releaseDecodedString($1); if (!$$) YYERROR; }
  ;

NumberLiteral
  : INTEGER_LITERAL  { if (!($$ = integerLiteral($1))) YYERROR; }
  | FLOAT_LITERAL    { if (!($$ = floatLiteral($1))) YYERROR; }
  ;

StringLiteral
  : STRING_LITERAL  { if (!($$ = decodeStringLiteral($1))) YYERROR; }
  ;

InvalidLiteral
  : "invalid"  { $$ = immediateConstant(ImmediateCode::Invalid); }
  ;

BooleanLiteral
  : "false"  { $$ = immediateConstant(ImmediateCode::False); }
  | "true"   { $$ = immediateConstant(ImmediateCode::True); }
  ;

/* Calls (16-32). */
CallExpression
  : PrimaryExpression     { $$ = $1; }
  | LocalFunctionCall     { $$ = $1; }
  | ExternalFunctionCall  { $$ = $1; }
  | LibraryFunctionCall   { $$ = $1; }
  ;

LocalFunctionCall
  : FunctionName Arguments  { if (!($$ = buildFunctionCall($1, $2))) YYERROR; }
  ;

ExternalFunctionCall
  : ExternalScriptName "#" ExternalFunctionName Arguments
      { if (!($$ = buildExternalCall($1, $3, $4))) YYERROR; }
  ;

LibraryFunctionCall
  : LibraryName "." LibraryFunctionName Arguments
      { if (!($$ = buildLibraryCall($1, $3, $4))) YYERROR; }
  ;

FunctionName
  : IDENTIFIER  { if (!($$ = makeFunctionExpression($1))) YYERROR; }
  ;

LibraryFunctionName
  : IDENTIFIER  { $$ = $1; }
  ;

ExternalFunctionName
  : IDENTIFIER  { $$ = $1; }
  ;

ExternalScriptName
  : IDENTIFIER  { $$ = $1; }
  ;

LibraryName
  : IDENTIFIER  { $$ = $1; }
  ;

Arguments
  : "(" ")"               { $$ = nullptr; }
  | "(" ArgumentList ")"  { $$ = $2; }
  | error ")"             { $$ = nullptr; reportSyntaxError(SyntaxErrorInArgumentList); }
  ;

ArgumentList
  : AssignmentExpression                   { $$ = createParameterList($1); }
  | ArgumentList "," AssignmentExpression  { if (!($$ = appendParameter($1, $3))) YYERROR; }
  ;

/* Unary and postfix expressions (33-44). */
PostfixExpression
  : CallExpression    { $$ = $1; }
  | IDENTIFIER "++"   { if (!($$ = buildIncrement(PostIncrement, $1))) YYERROR; }
  | IDENTIFIER "--"   { if (!($$ = buildIncrement(PostDecrement, $1))) YYERROR; }
  ;

UnaryExpression
  : PostfixExpression              { $$ = $1; }
  | "typeof" UnaryExpression       { if (!($$ = buildUnaryExpression(TypeOf, $2))) YYERROR; }
  | "isvalid" UnaryExpression      { if (!($$ = buildUnaryExpression(IsValid, $2))) YYERROR; }
  | "++" IDENTIFIER                { if (!($$ = buildIncrement(PreIncrement, $2))) YYERROR; }
  | "--" IDENTIFIER                { if (!($$ = buildIncrement(PreDecrement, $2))) YYERROR; }
  | "+" UnaryExpression            { if (!($$ = buildUnaryExpression(UnaryPlus, $2))) YYERROR; }
  | "-" UnaryExpression            { if (!($$ = buildUnaryExpression(UnaryMinus, $2))) YYERROR; }
  | "~" UnaryExpression            { if (!($$ = buildUnaryExpression(ComplementOf, $2))) YYERROR; }
  | "!" UnaryExpression            { if (!($$ = buildUnaryExpression(LogicalNot, $2))) YYERROR; }
  ;

/* Binary expressions (45-74), loosest binding last. */
MultiplicativeExpression
  : UnaryExpression  { $$ = $1; }
  | MultiplicativeExpression "*" UnaryExpression    { BINARY($$, Multiply, $1, $3); }
  | MultiplicativeExpression "/" UnaryExpression    { BINARY($$, Divide, $1, $3); }
  | MultiplicativeExpression "div" UnaryExpression  { BINARY($$, IntegerDivide, $1, $3); }
  | MultiplicativeExpression "%" UnaryExpression    { BINARY($$, Modulus, $1, $3); }
  ;

AdditiveExpression
  : MultiplicativeExpression  { $$ = $1; }
  | AdditiveExpression "-" MultiplicativeExpression  { BINARY($$, Subtract, $1, $3); }
  | AdditiveExpression "+" MultiplicativeExpression  { BINARY($$, Add, $1, $3); }
  ;

ShiftExpression
  : AdditiveExpression  { $$ = $1; }
  | ShiftExpression ">>" AdditiveExpression   { BINARY($$, RightShift, $1, $3); }
  | ShiftExpression "<<" AdditiveExpression   { BINARY($$, LeftShift, $1, $3); }
  | ShiftExpression ">>>" AdditiveExpression  { BINARY($$, RightShiftZeroFill, $1, $3); }
  ;

RelationalExpression
  : ShiftExpression  { $$ = $1; }
  | RelationalExpression "<" ShiftExpression   { BINARY($$, Lesser, $1, $3); }
  | RelationalExpression ">" ShiftExpression   { BINARY($$, Greater, $1, $3); }
  | RelationalExpression ">=" ShiftExpression  { BINARY($$, GreaterOrEqual, $1, $3); }
  | RelationalExpression "<=" ShiftExpression  { BINARY($$, LesserOrEqual, $1, $3); }
  ;

EqualityExpression
  : RelationalExpression  { $$ = $1; }
  | EqualityExpression "==" RelationalExpression  { BINARY($$, Equal, $1, $3); }
  | EqualityExpression "!=" RelationalExpression  { BINARY($$, NotEqual, $1, $3); }
  ;

BitwiseAndExpression
  : EqualityExpression  { $$ = $1; }
  | BitwiseAndExpression "&" EqualityExpression  { BINARY($$, BitAnd, $1, $3); }
  ;

BitwiseXorExpression
  : BitwiseAndExpression  { $$ = $1; }
  | BitwiseXorExpression "^" BitwiseAndExpression  { BINARY($$, BitXor, $1, $3); }
  ;

BitwiseOrExpression
  : BitwiseXorExpression  { $$ = $1; }
  | BitwiseOrExpression "|" BitwiseXorExpression  { BINARY($$, BitOr, $1, $3); }
  ;

LogicalAndExpression
  : BitwiseOrExpression  { $$ = $1; }
  | BitwiseOrExpression "&&" LogicalAndExpression  { BINARY($$, LogicalAnd, $1, $3); }
  ;

LogicalOrExpression
  : LogicalAndExpression  { $$ = $1; }
  | LogicalAndExpression "||" LogicalOrExpression  { BINARY($$, LogicalOr, $1, $3); }
  ;

/* Conditional, assignment and comma expressions (75-93). */
ConditionalExpression
  : LogicalOrExpression  { $$ = $1; }
  | LogicalOrExpression "?" AssignmentExpression ":" AssignmentExpression
      { if (!($$ = buildConditional($1, $3, $5))) YYERROR; }
  ;

AssignmentExpression
  : ConditionalExpression  { $$ = $1; }
  | IDENTIFIER AssignmentOperator AssignmentExpression
      { if (!($$ = buildAssignmentTo($1, $2, $3))) YYERROR; }
  ;

AssignmentOperator
  : "="     { $$ = Assign; }
  | "+="    { $$ = AddAssign; }
  | "&="    { $$ = BitAndAssign; }
  | "/="    { $$ = DivideAssign; }
  | "<<="   { $$ = LeftShiftAssign; }
  | "%="    { $$ = ModulusAssign; }
  | "*="    { $$ = MultiplyAssign; }
  | "|="    { $$ = BitOrAssign; }
  | ">>="   { $$ = RightShiftAssign; }
  | "-="    { $$ = SubtractAssign; }
  | "^="    { $$ = BitXorAssign; }
  | ">>>="  { $$ = RightShiftZeroFillAssign; }
  | "div="  { $$ = IntegerDivideAssign; }
  ;

Expression
  : AssignmentExpression                 { $$ = $1; }
  | Expression "," AssignmentExpression  { BINARY($$, Comma, $1, $3); }
  ;

/* Statements (94-146). */
Statement
  : Block
  | VariableStatement
  | EmptyStatement
  | ExpressionStatement
  | IfStatement
  | IterationStatement
  | ContinueStatement
  | BreakStatement
  | ReturnStatement
  | StatementError
  ;

StatementError
  : error ";"  { reportSyntaxError(SyntaxErrorInStatement); }
  ;

Block
  : "{" StatementList "}"
  | "{" "}"
  | error "}"  { reportSyntaxError(SyntaxErrorInBlock); }
  ;

StatementList
  : Statement
  | StatementList Statement
  ;

VariableStatement
  : "var" VariableDeclarationList ";"
  | "var" error ";"  { reportSyntaxError(SyntaxErrorInVariableDeclaration); }
  ;

VariableDeclarationList
  : VariableDeclaration
  | VariableDeclarationList "," VariableDeclaration
  ;

VariableDeclaration
  : IDENTIFIER VariableInitializer  { if (!declareLocalVariable($1, $2)) YYERROR; }
  | IDENTIFIER                      { if (!declareLocalVariable($1, nullptr)) YYERROR; }
  ;

VariableInitializer
  : "=" ConditionalExpression  { $$ = $2; }
  ;

EmptyStatement
  : ";"
  ;

ExpressionStatement
  : Expression ";"
      {
        Expression *statement = checkedExpression($1);
        if (!statement)
          YYERROR;
        emitAndReleaseExpressionStatement(statement);
      }
  ;

ElseMarker
  : %empty  { emitBeginElse(); }
  ;

IfStatement
  : "if" IfCondition Statement "else" ElseMarker Statement  { emitEndIf(); }
  | "if" IfCondition Statement                              { emitEndIf(); }
  ;

IfTestMarker
  : %empty
      {
        Expression *condition = checkedExpression($<expression>0);
        $<expression>0 = nullptr;
        if (!condition)
          YYERROR;
        emitBeginIfAndRelease(condition);
      }
  ;

IfCondition
  : "(" Expression IfTestMarker ")"
  | error ")"  { reportSyntaxError(SyntaxErrorInConditional); }
  ;

IterationStatement
  : WhileStatement
  | ForStatement
  ;

WhileTestMarker
  : %empty
      {
        $$ = checkedExpression($<expression>0);
        $<expression>0 = nullptr;
        if (!$$)
          YYERROR;
      }
  ;

WhileCondition
  : "(" Expression WhileTestMarker ")"  { $$ = $3; }
  | error ")"  { $$ = nullptr; reportSyntaxError(SyntaxErrorInConditional); }
  ;

LoopTestMarker
  : %empty
      {
        enterLoop();
        if (Expression *condition = $<expression>0) {
          emitLoopTestAndRelease(condition);
          $<expression>0 = nullptr;  // released here, not by recovery
        }
      }
  ;

WhileStatement
  : "while" WhileCondition LoopTestMarker Statement
      {
        leaveLoop();
        emitEndLoop();
      }
  ;

ForStartMarker
  : %empty  { enterLoop(); }
  ;

ForStatement
  : "for" ForStartMarker ForHeader Statement
      {
        leaveLoop();
        emitEndLoop();
      }
  ;

ForTestMarker
  : %empty
      {
        Expression *initial = $<expression>-4, *condition = $<expression>-2;
        Expression *increment = $<expression>0;
        $<expression>-4 = $<expression>-2 = $<expression>0 = nullptr;
        if (!beginFor(initial, condition, increment))
          YYERROR;
      }
  ;

ForHeader
  : "(" OptionalExpression ";" OptionalExpression ";" OptionalExpression ForTestMarker ")"
  ;

ForVarTestMarker
  : %empty
      {
        Expression *condition = $<expression>-2, *increment = $<expression>0;
        $<expression>-2 = $<expression>0 = nullptr;
        if (!beginFor(nullptr, condition, increment))
          YYERROR;
      }
  ;

ForHeader
  : "(" "var" VariableDeclarationList ";" OptionalExpression ";" OptionalExpression ForVarTestMarker ")"
  | "(" error ")"  { reportSyntaxError(SyntaxErrorInFor); }
  ;

OptionalExpression
  : Expression  { $$ = $1; }
  | %empty      { $$ = nullptr; }
  ;

ContinueMarker
  : %empty
      {
        if (!isInsideLoop())
          YYERROR;
        emitContinue();
      }
  ;

ContinueStatement
  : "continue" ContinueMarker ";"
  ;

BreakMarker
  : %empty
      {
        if (!isInsideLoop())
          YYERROR;
        emitBreak();
      }
  ;

BreakStatement
  : "break" BreakMarker ";"
  ;

ReturnMarker
  : %empty
      {
        Expression *value = $<expression>0;
        $<expression>0 = nullptr;
        if (value && !(value = checkedExpression(value)))
          YYERROR;
        emitReturnAndRelease(value);
      }
  ;

ReturnStatement
  : "return" OptionalExpression ReturnMarker ";"
  ;

/* Functions (147-167). */
FormalParameters
  : "(" FormalParameterList ")"  { $$ = $2; }
  | error ")"  { $$ = 0; reportSyntaxError(SyntaxErrorInFunctionDeclaration); }
  ;

FunctionHeader
  : ExternOption "function" IDENTIFIER  { if (!($$ = declareFunctionHeader($3))) YYERROR; }
  ;

FunctionBodyMarker
  : %empty
      {
        if (!defineFunction($<record>-1, $<count>0))
          YYERROR;
        beginFunctionDefinition($<record>-1);
      }
  ;

FunctionEndMarker
  : %empty  { rememberStatementLine(); }
  ;

FunctionDeclaration
  : FunctionHeader FormalParameters FunctionBodyMarker Block FunctionEndMarker OptionalSemicolon
      { endFunctionDefinition(); }
  ;

RecoveryMarkerA
  : %empty  { beginPlaceholderFunction(); }
  ;

FunctionDeclaration
  : error "{" RecoveryMarkerA StatementList "}" OptionalSemicolon  { endFunctionDefinition(); }
  ;

RecoveryMarkerB
  : %empty  { beginBrokenFunction($<record>-2); }
  ;

FunctionDeclaration
  : FunctionHeader error "{" RecoveryMarkerB StatementList "}" OptionalSemicolon
      { endFunctionDefinition(); }
  ;

RecoveryMarkerC
  : %empty  { beginBrokenFunction($<record>-2); }
  ;

FunctionDeclaration
  : FunctionHeader error "{" RecoveryMarkerC "}" OptionalSemicolon  { endFunctionDefinition(); }
  ;

RecoveryMarkerD
  : %empty  { beginPlaceholderFunction(); }
  ;

FunctionDeclaration
  : error "{" RecoveryMarkerD "}" OptionalSemicolon  { endFunctionDefinition(); }
  ;

OptionalSemicolon
  : ";"
  | %empty
  ;

ExternOption
  : "extern"  { setExternFlag(); }
  | %empty    { clearExternFlag(); }
  ;

FormalParameterList
  : IDENTIFIER  { if (!declareParameter($1, 1)) YYERROR; $$ = 1; }
  | FormalParameterList "," IDENTIFIER
      {
        if (!declareParameter($3, $1 + 1))
          YYERROR;
        $$ = $1 + 1;
      }
  | %empty  { $$ = 0; }
  ;

/* Pragmas (168-194). */
Pragmas
  : Pragma
  | Pragmas Pragma
  ;

Pragma
  : "use" PragmaDeclaration ";"
  | "use" error ";"  { reportSyntaxError(SyntaxErrorInPragma); }
  ;

PragmaDeclaration
  : ExternalUnitPragma
  | AccessControlPragma
  | MetaPragma
  ;

ExternalUnitPragma
  : "url" IDENTIFIER StringLiteral  { if (!declareExternalUnit($2, $3)) YYERROR; }
  ;

AccessControlPragma
  : "access" AccessControlSpecifier
  ;

AccessControlSpecifier
  : "domain" StringLiteral
      {
        std::uint32_t domain;
        if (!pragmaStringIndex($2, &domain) || !setAccessDomain(domain))
          YYERROR;
      }
  | "path" StringLiteral
      {
        std::uint32_t path;
        if (!pragmaStringIndex($2, &path) || !setAccessPath(path))
          YYERROR;
      }
  ;

DomainMarker
  : %empty
      {
        std::uint32_t domain;
        char *text = $<decoded>0;
        $<decoded>0 = nullptr;
        if (!pragmaStringIndex(text, &domain))
          YYERROR;
        rememberAccessDomain(domain);
      }
  ;

AccessControlSpecifier
  : "domain" StringLiteral DomainMarker "path" StringLiteral
      {
        std::uint32_t path;
        if (!pragmaStringIndex($5, &path) || !setAccessDomainAndPath(getRememberedAccessDomain(), path))
          YYERROR;
      }
  ;

MetaPragma
  : "meta" MetaSpecifier
  ;

MetaSpecifier
  : MetaName
  | MetaHttpEquiv
  | MetaUserAgent
  ;

MetaName
  : "name" StringLiteral StringLiteral StringLiteral  { std::free($2); std::free($3); std::free($4); }
  | "name" StringLiteral StringLiteral                { std::free($2); std::free($3); }
  ;

MetaHttpEquiv
  : "http" "equiv" StringLiteral StringLiteral StringLiteral
      { std::free($3); std::free($4); std::free($5); }
  | "http" "equiv" StringLiteral StringLiteral  { std::free($3); std::free($4); }
  ;

MetaUserAgent
  : "user" "agent" MetaBody
  ;

MetaBody
  : MetaPropertyName MetaContent MetaScheme
      { if (!addUserAgentPropertyWithScheme($1, $2, $3)) YYERROR; }
  | MetaPropertyName MetaContent  { if (!addUserAgentProperty($1, $2)) YYERROR; }
  ;

MetaPropertyName
  : StringLiteral  { if (!pragmaStringIndex($1, &$$)) YYERROR; }
  ;

MetaContent
  : StringLiteral  { if (!pragmaStringIndex($1, &$$)) YYERROR; }
  ;

MetaScheme
  : StringLiteral  { if (!pragmaStringIndex($1, &$$)) YYERROR; }
  ;

/* Function declarations (195-197). */
FunctionDeclarations
  : FunctionDeclaration
  | FunctionDeclarations FunctionDeclaration
  | error ";"  { reportSyntaxError(SyntaxErrorInProgram); }
  ;

%%

// The parser's own two conditions, a syntax error at the lookahead token and
// exhausted stack storage, only mark the error: the message comes from the
// error rule that recovers, or from the driver when none does.
static void yyerror(const char *) { markError(); }

// The lexical analyser's own yylex, with its value copied to the parser's.
// The token's value is a name id or a text, and both unions hold it at
// their start, so the value is copied whole whatever the token.
#undef yylex
static_assert(sizeof(TokenValue) <= sizeof(YYSTYPE) && offsetof(YYSTYPE, nameId) == 0 &&
              offsetof(YYSTYPE, text) == 0);
static int nextToken() {
  int token = yylex();
  const TokenValue value = currentTokenValue();
  std::memcpy(&yylval, &value, sizeof value);
  return token;
}

static void writeUnitAndDebugFile() {
  writeCompiledUnit();
  writeDebugFile();
}

// The increments take a declared variable.
static Expression *buildIncrement(ExpressionOperator op, NameId variable) {
  Expression *operand = makeVariableExpression(variable);
  return operand ? buildUnaryExpression(op, operand) : nullptr;
}

// The target of an assignment is a bare identifier that must be declared.
static Expression *buildAssignmentTo(NameId target, ExpressionOperator op, Expression *value) {
  Expression *variable = makeVariableExpression(target);
  if (!variable) {
    releaseExpression(value);
    return nullptr;
  }
  return buildAssignment(op, variable, value);
}

// The initialiser was parsed before the name is declared, so `var x = x;`
// uses an undeclared x.
static bool declareLocalVariable(NameId name, Expression *initialiser) {
  IdentifierRecord *variable = declareIdentifier({name, FL_VARIABLE});
  if (!variable) {
    if (initialiser)
      releaseExpression(initialiser);
    return false;
  }
  variable->subSpaceData.objectData.variableType = LocalVariable;
  recordVariableDebugInfo(variable);
  if (initialiser)
    emitVariableInitialisation(variable, initialiser);
  return true;
}

// Only the condition is range-checked; all three are released here, or as
// they are emitted.
static bool beginFor(Expression *initial, Expression *condition, Expression *increment) {
  if (condition && !(condition = checkedExpression(condition))) {
    if (initial)
      releaseExpression(initial);
    if (increment)
      releaseExpression(increment);
    return false;
  }
  emitBeginForAndRelease(initial, condition, increment);
  return true;
}

// 255: the function count and an extern function's name length are one byte
// each in the compiled unit.
static IdentifierRecord *declareFunctionHeader(NameId name) {
  IdentifierRecord *function = findIdentifier({name, FL_FUNCTION});
  if (!function && !(function = declareIdentifier({name, FL_FUNCTION})))
    return nullptr;
  if (isExternFlagSet() && std::strlen(getNameText(name)) > 255) {
    reportError(FunctionNameTooLong);
    return nullptr;
  }
  if (countFunctionDefinition() >= 256) {
    reportError(TooManyFunctions);
    return nullptr;
  }
  return function;
}

static bool declareParameter(NameId name, int parameterCount) {
  IdentifierRecord *parameter = declareIdentifier({name, FL_VARIABLE});
  if (!parameter)
    return false;
  parameter->subSpaceData.objectData.variableType = Parameter;
  recordVariableDebugInfo(parameter);
  if (parameterCount >= 256) {
    reportError(TooManyParameters);
    return false;
  }
  return true;
}

// After a header too broken to name its function, the body is still checked
// as the body of a nameless function.
static void beginPlaceholderFunction() {
  reportSyntaxError(SyntaxErrorInFunctionDeclaration);
  beginFunctionDefinition(definePlaceholderFunction());
}

// After a broken parameter list the function is opened without being defined.
static void beginBrokenFunction(IdentifierRecord *function) {
  reportSyntaxError(SyntaxErrorInFunctionDeclaration);
  beginFunctionDefinition(function);
}

static bool declareExternalUnit(NameId name, char *url) {
  IdentifierRecord *unit = declareIdentifier({name, FL_PRAGMA});
  if (!unit) {
    std::free(url);
    return false;
  }
  std::uint32_t urlIndex;
  if (!pragmaStringIndex(url, &urlIndex))
    return false;
  setPragmaIndex(unit, urlIndex);
  return true;
}

// Enters a pragma's decoded string in the constant pool and frees it; the
// index must fit the pool's 16-bit operands.
static bool pragmaStringIndex(char *decoded, std::uint32_t *index) {
  *index = pragmaString(decoded);
  std::free(decoded);
  if (*index >= 65535) {
    reportError(TooManyConstants);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- copy reductions
//
// Precedence is spelled as a chain of single-symbol rules (a primary
// expression is a call expression is a postfix expression ... is an
// expression), and most of them only pass on the value of their symbol. An
// operand climbs a dozen of them, each a full trip through the parser's
// loop: this walk takes up the largest share of a compilation. The build
// inserts a call of skipCopyReductions after every reduction's goto (see
// cmake/parsershortcut.cmake): from the state just entered it follows the
// reductions by such rules that the parser would make next, and returns the
// state the parser would reach. A copy reduction pops one state and pushes
// one, and leaves the value on top as it is, so the stacks, the values, the
// lookahead and the order of every action stay exactly as the parser's own
// loop would leave them; only the trips through the loop are saved.

namespace {

// Bison's numbers of the rules whose action copies the value of their single
// symbol, or that have no action and one symbol (Bison's numbers are one more
// than the grammar's: its rule 1 is its own start rule).
constexpr int copyRules[] = {
  5, 7, 8, 9,                    // PrimaryExpression: Literal; Literal: ...
  17, 18, 19, 20,                // CallExpression: ...
  25, 26, 27, 28,                // the library, external function and script names
  34, 37, 46, 51, 54, 58, 63,    // PostfixExpression: CallExpression ... EqualityExpression: Relational...
  66, 68, 70, 72, 74, 76, 78,    // BitwiseAndExpression: Equality... AssignmentExpression: Conditional...
  93,                            // Expression: AssignmentExpression
  95, 96, 97, 98, 99, 100, 101, 102, 103, 104,  // Statement: Block ... StatementError
  109, 113, 118, 126, 127, 140, 162, 169, 173, 174, 175, 183, 184, 185, 196,
};

struct CopyRuleTable {
  bool isCopy[YYNRULES + 1] = {};
  constexpr CopyRuleTable() {
    for (int rule : copyRules)
      isCopy[rule] = true;
  }
};
constexpr CopyRuleTable copyRuleTable;

// The state the parser enters after the reduction by `rule` on top of
// `below`: the goto of the rule's left side.
int stateAfterReduction(int below, int rule) {
  const int leftSide = yyr1[rule] - YYNTOKENS;
  const int entry = yypgoto[leftSide] + below;
  return 0 <= entry && entry <= YYLAST && yycheck[entry] == below ? yytable[entry]
                                                                  : yydefgoto[leftSide];
}

// The rule the parser reduces by in `state` with the given lookahead symbol
// (YYSYMBOL_YYEMPTY when none has been read), or 0 when it shifts, stops
// with an error, or needs a lookahead it does not have yet.
int reductionIn(int state, int symbol) {
  int entry = yypact[state];
  if (yypact_value_is_default(entry))
    return yydefact[state];
  if (symbol == YYSYMBOL_YYEMPTY)
    return 0;
  entry += symbol;
  if (entry < 0 || YYLAST < entry || yycheck[entry] != symbol)
    return yydefact[state];
  const int action = yytable[entry];
  return action < 0 && !yytable_value_is_error(action) ? -action : 0;
}

// A chain depends only on the state below, the left side of the rule just
// reduced (which with it fixes the state entered) and the lookahead, so its
// end is kept: a unit repeats a few thousand combinations a million times.
// An entry packs the three and the state reached into one word, 9 + 7 + 7
// + 9 bits; a state below of 511, which no parser state has, marks an empty
// entry. Two entries share a slot pair, the newer first.
struct ChainCache {
  static constexpr unsigned size = 8192;
  static constexpr std::uint32_t empty = 0xFFFFFFFFu;
  std::uint32_t entries[size];
  constexpr ChainCache() {
    for (std::uint32_t &entry : entries)
      entry = empty;
  }
};
static_assert(YYNSTATES < 511 && YYNNTS <= 128 && YYNTOKENS < 126);

// The states in which the parser may reduce by a copy rule, by default or
// on some lookahead: only a chain that starts in one of them is looked up.
struct ChainStarts {
  bool mayCopy[YYNSTATES] = {};
  ChainStarts() {
    for (int state = 0; state < YYNSTATES; ++state) {
      mayCopy[state] = copyRuleTable.isCopy[yydefact[state]];
      const int base = yypact[state];
      if (yypact_value_is_default(base))
        continue;
      for (int symbol = 0; symbol < YYNTOKENS; ++symbol) {
        const int entry = base + symbol;
        if (0 <= entry && entry <= YYLAST && yycheck[entry] == symbol && yytable[entry] < 0 &&
            !yytable_value_is_error(yytable[entry]) && copyRuleTable.isCopy[-yytable[entry]])
          mayCopy[state] = true;
      }
    }
  }
};
const ChainStarts chainStarts;

}  // namespace

static int skipCopyReductions(int below, int state, int rule, int lookahead) {
  static ChainCache cache;
  if (!chainStarts.mayCopy[state] || lookahead == YYerror)
    return state;
  const int symbol = lookahead == YYEMPTY ? YYSYMBOL_YYEMPTY
                     : lookahead <= YYEOF ? YYSYMBOL_YYEOF
                                          : YYTRANSLATE(lookahead);
  const std::uint32_t key = std::uint32_t(below) << 14 |
                            std::uint32_t(yyr1[rule] - YYNTOKENS) << 7 |
                            std::uint32_t(symbol & 127);
  std::uint32_t *pair = &cache.entries[((key * 2654435761u) >> 20) & ~1u];
  if (pair[0] >> 9 == key)
    return static_cast<int>(pair[0] & 511);
  if (pair[1] >> 9 == key) {
    std::swap(pair[0], pair[1]);
    return static_cast<int>(pair[0] & 511);
  }
  int reached = state;
  for (;;) {
    if (reached == YYFINAL)
      break;
    const int next = reductionIn(reached, symbol);
    if (next == 0 || !copyRuleTable.isCopy[next])
      break;
    ASSERT(yyr2[next] == 1);
    reached = stateAfterReduction(below, next);
  }
  pair[1] = pair[0];
  pair[0] = key << 9 | std::uint32_t(reached);
  return reached;
}

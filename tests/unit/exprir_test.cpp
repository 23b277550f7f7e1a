// Abstract trees: reference counts and release, the accessors of instruction
// selection, and the post-order traversal with its visit numbers.
#include "exprir.h"
#include "exprtrvl.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <functional>
#include <utility>
#include <vector>

namespace {

// Deep trees are walked on a thread with a small stack: a walk that recursed
// once per level would overflow it long before the depths used here.
void runOnSmallStack(const std::function<void()> &body) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 256 * 1024);
  pthread_t thread;
  auto run = [](void *argument) -> void * {
    (*static_cast<const std::function<void()> *>(argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()> *>(&body)), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

// Deep enough to overflow the small stack through recursion, shallow enough
// that releasing it stays quick.
constexpr int deepChainLength = 30'000;

AbstractTree *leaf(std::uint32_t value) {
  AbstractTree *tree = createAbstractTree(ConstantLeaf);
  tree->constantNode = ConstantDescriptor{.signParity = 0, .valueType = IntegerType,
                                          .constantType = IndirectConstant, .value = value};
  return tree;
}

AbstractTree *node(ExpressionOperator op, std::initializer_list<AbstractTree *> children) {
  AbstractTree *tree = createAbstractTree(op);
  for (AbstractTree *child : children)
    appendChild(tree, child);
  return tree;
}

std::vector<AbstractTree *> childrenOf(const AbstractTreeList *list) {
  std::vector<AbstractTree *> children;
  for (; list; list = list->next)
    children.push_back(list->abstractTree);
  return children;
}

// ---------------------------------------------------------------- nodes

TEST(AbstractTrees, ChildrenKeepTheirOrderAndCountTheirHolders) {
  AbstractTree *a = leaf(1);
  AbstractTree *b = leaf(2);
  AbstractTree *c = leaf(3);
  AbstractTree *conditional = node(Conditional, {a, b, c});
  EXPECT_EQ(childrenOf(conditional->succList), (std::vector<AbstractTree *>{a, b, c}));
  for (AbstractTree *child : {a, b, c})
    EXPECT_EQ(child->referenceCount, 1);
  releaseTree(conditional);
}

TEST(AbstractTrees, ReleasingAHeldTreeOnlyDropsAReference) {
  AbstractTree *a = leaf(1);
  AbstractTree *sum = node(Add, {a, leaf(2)});
  addTreeReference(sum);
  addTreeReference(sum);
  releaseTree(sum);
  EXPECT_EQ(sum->referenceCount, 1);
  EXPECT_EQ(a->referenceCount, 1);
  releaseTree(sum);
  EXPECT_TRUE(isUnreferencedTree(sum));
  releaseTree(sum);
}

TEST(AbstractTrees, ASharedChildSurvivesTheReleaseOfOneParent) {
  AbstractTree *shared = leaf(9);
  AbstractTree *left = node(UnaryMinus, {shared});
  AbstractTree *right = node(LogicalNot, {shared});
  EXPECT_EQ(shared->referenceCount, 2);
  releaseTree(left);
  EXPECT_EQ(shared->referenceCount, 1);
  EXPECT_EQ(shared->constantNode.value, 9u);
  releaseTree(right);
}

TEST(AbstractTrees, ReleasingADeepChainDoesNotRecurse) {
  AbstractTree *chain = leaf(0);
  for (int i = 0; i < deepChainLength; ++i)
    chain = node(Add, {chain, leaf(1)});
  runOnSmallStack([chain] { releaseTree(chain); });
  // The released units are taken again: the pools are not exhausted.
  AbstractTree *again = createAbstractTree(Add);
  EXPECT_EQ(again->referenceCount, 0);
  releaseTree(again);
}

TEST(AbstractTrees, AppendingToALeafIsAnInternalError) {
  EXPECT_DEATH(appendChild(leaf(1), leaf(2)), "isLeafOperator");
}

// ---------------------------------------------------------------- accessors

TEST(TreeAccessors, OperandsByPosition) {
  AbstractTree *a = leaf(1);
  AbstractTree *b = leaf(2);
  AbstractTree *c = leaf(3);
  AbstractTree *conditional = node(Conditional, {a, b, c});
  EXPECT_EQ(firstOperand(conditional), a);
  EXPECT_EQ(secondOperand(conditional), b);
  EXPECT_EQ(nthOperand(conditional, 1), a);
  EXPECT_EQ(nthOperand(conditional, 3), c);
  EXPECT_EQ(nthOperand(conditional, 4), nullptr);
  releaseTree(conditional);
}

TEST(TreeAccessors, LeavesAndUnaryOperatorsHaveNoSecondOperand) {
  AbstractTree *constant = leaf(5);
  EXPECT_EQ(firstOperand(constant), nullptr);
  EXPECT_EQ(secondOperand(constant), nullptr);
  EXPECT_EQ(nthOperand(constant, 1), nullptr);
  releaseTree(constant);

  const ExpressionOperator unaryOperators[] = {IsValid,      TypeOf,      PostIncrement,
                                               PostDecrement, PreIncrement, PreDecrement,
                                               UnaryPlus,    UnaryMinus,  LogicalNot,
                                               ComplementOf};
  for (ExpressionOperator op : unaryOperators) {
    SCOPED_TRACE(op);
    AbstractTree *operand = leaf(1);
    AbstractTree *unary = node(op, {operand});
    EXPECT_EQ(firstOperand(unary), operand);
    EXPECT_EQ(secondOperand(unary), nullptr);
    releaseTree(unary);
  }
}

TEST(TreeAccessors, CallArgumentsFollowTheCalleeOrTheIndexLeaves) {
  AbstractTree *argument1 = leaf(10);
  AbstractTree *argument2 = leaf(11);
  AbstractTree *call = node(FunctionCall, {leaf(0), argument1, argument2});
  EXPECT_EQ(childrenOf(operandsAfterFirst(call)), (std::vector<AbstractTree *>{argument1, argument2}));
  releaseTree(call);

  AbstractTree *noArguments = node(FunctionCall, {leaf(0)});
  EXPECT_EQ(operandsAfterFirst(noArguments), nullptr);
  releaseTree(noArguments);

  AbstractTree *external = node(ExternalFunctionCall, {leaf(0), leaf(1), argument1});
  EXPECT_EQ(childrenOf(externalCallArguments(external)), (std::vector<AbstractTree *>{argument1}));
  releaseTree(external);

  AbstractTree *library = node(LibraryFunctionCall, {leaf(0), leaf(1)});
  EXPECT_EQ(libraryCallArguments(library), nullptr);
  releaseTree(library);
}

TEST(TreeAccessors, MisuseIsAnInternalError) {
  EXPECT_DEATH(nthOperand(leaf(1), 0), "number > 0");
  EXPECT_DEATH(firstOperand(createAbstractTree(Add)), "tempPtr");
  EXPECT_DEATH(firstOperand(node(Comma, {leaf(1), leaf(2)})), "isTreeOperatorNode");
  EXPECT_DEATH(libraryCallArguments(node(ExternalFunctionCall, {leaf(0), leaf(1)})),
               "LibraryFunctionCall");
}

// ---------------------------------------------------------------- traversal

struct VisitLog {
  std::vector<std::pair<AbstractTree *, int>> visits;  // node and its order
  int stopAfter = -1;                                  // visits before returning 0
};

int logVisit(Word argument, AbstractTree *visited, TreeTraversal *traversal) {
  auto *log = fromWord<VisitLog *>(argument);
  EXPECT_TRUE(isVisitedOnTreeTraversal(traversal, visited));
  log->visits.emplace_back(visited, treeTraversalOrder(traversal, visited));
  return static_cast<int>(log->visits.size()) == log->stopAfter ? 0 : 1;
}

TEST(TreeTraversal, ASingleLeafIsVisitedOnceWithOrderZero) {
  AbstractTree *single = leaf(1);
  VisitLog log;
  EXPECT_EQ(traverseTree(single, toWord(&log), logVisit), 1);
  ASSERT_EQ(log.visits.size(), 1u);
  EXPECT_EQ(log.visits[0], std::make_pair(single, 0));
  releaseTree(single);
}

TEST(TreeTraversal, ChildrenLeftToRightBeforeTheirParent) {
  AbstractTree *a = leaf(1);
  AbstractTree *b = leaf(2);
  AbstractTree *c = leaf(3);
  AbstractTree *product = node(Multiply, {b, c});
  AbstractTree *sum = node(Add, {a, product});
  VisitLog log;
  traverseTree(sum, toWord(&log), logVisit);
  EXPECT_EQ(log.visits, (std::vector<std::pair<AbstractTree *, int>>{
                            {a, 0}, {b, 1}, {c, 2}, {product, 3}, {sum, 4}}));
  releaseTree(sum);
}

TEST(TreeTraversal, ANodeNamedTwiceIsVisitedOnceAtItsFirstOccurrence) {
  AbstractTree *shared = leaf(7);
  AbstractTree *other = leaf(8);
  AbstractTree *inner = node(Subtract, {shared, other});
  AbstractTree *outer = node(Add, {inner, shared});
  VisitLog log;
  traverseTree(outer, toWord(&log), logVisit);
  EXPECT_EQ(log.visits, (std::vector<std::pair<AbstractTree *, int>>{
                            {shared, 0}, {other, 1}, {inner, 2}, {outer, 3}}));
  releaseTree(outer);
}

// The records and the stack of a stopped walk are released with it (a leak
// shows under the sanitizer build); the next walk numbers from 0 again.
TEST(TreeTraversal, StoppingOnTheFirstVisitEndsTheWalk) {
  AbstractTree *a = leaf(1);
  AbstractTree *sum = node(Add, {a, node(Multiply, {leaf(2), leaf(3)})});
  for (int round = 0; round < 1000; ++round) {
    VisitLog stopped;
    stopped.stopAfter = 1;
    ASSERT_EQ(traverseTree(sum, toWord(&stopped), logVisit), 0);
    ASSERT_EQ(stopped.visits.size(), 1u);
  }
  VisitLog full;
  EXPECT_EQ(traverseTree(sum, toWord(&full), logVisit), 1);
  ASSERT_EQ(full.visits.size(), 5u);
  EXPECT_EQ(full.visits[0], std::make_pair(a, 0));
  EXPECT_EQ(full.visits[4], std::make_pair(sum, 4));
  releaseTree(sum);
}

TEST(TreeTraversal, ADeepChainIsWalkedWithoutRecursion) {
  AbstractTree *chain = leaf(0);
  for (int i = 0; i < deepChainLength; ++i)
    chain = node(Add, {chain, leaf(1)});
  int visits = 0;
  int result = 0;
  runOnSmallStack([&] {
    result = traverseTree(chain, toWord(&visits), [](Word argument, AbstractTree *, TreeTraversal *) {
      *fromWord<int *>(argument) += 1;
      return 1;
    });
  });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(visits, 2 * deepChainLength + 1);
  releaseTree(chain);
}

TEST(TreeTraversal, AskingTheOrderOfAnUnvisitedNodeIsAnInternalError) {
  AbstractTree *sum = node(Add, {leaf(1), leaf(2)});
  AbstractTree *stranger = leaf(3);
  EXPECT_DEATH(traverseTree(sum, toWord(stranger),
                            [](Word argument, AbstractTree *, TreeTraversal *traversal) {
                              return treeTraversalOrder(traversal, fromWord<AbstractTree *>(argument));
                            }),
               "isVisited");
}

} // namespace

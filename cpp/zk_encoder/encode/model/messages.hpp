// The texts of zk_encoder.encode.model: its reserved names, the lines it logs and the messages of
// its refusals, one format string each; "{}" marks a value.
#pragma once

#include "texts/literals.hpp"
#include "texts/names.hpp"

namespace zk::encode {

// Reserved names (class attributes of Model).
inline constexpr char kExpressionFormulaRe[] = R"((.*),\sline\s(\d+),(.*)\n(.*))";
using texts::kBxprAux;
using texts::kDummyVar;
using texts::kMaxLiteral;
using texts::kPbctAux;
inline constexpr char kDummyDim[] = "d";

// Progress lines: a label right-aligned in 15 characters, then " : ".
inline constexpr char kPythonVersionLine[] = " python version : {}";
inline constexpr char kModelNameLine[] = "     model name : {}";
inline constexpr char kSsfeLine[] = "           ssfe : {}";
inline constexpr char kAddNewVarLine[] = "    add new var : {}{} = [{}]";
inline constexpr char kConstraintLine[] = "     constraint : {}___{}";
inline constexpr char kCnfStartLine[] =
    "      CNF build : started. Model <{}>; Target variables = {}";
inline constexpr char kWcnfStartLine[] =
    "     WCNF build : started. Model <{}>; Target variables = {}";
inline constexpr char kCnfEndLine[] = "         action : CNF build finished{} Duration = {}";
inline constexpr char kWcnfEndLine[] = "         action : WCNF build finished{}";
inline constexpr char kCnfEncoderSuffix[] = " (formula encoder).";
inline constexpr char kWcnfEncoderSuffix[] = "(formula encoder).";
inline constexpr char kOwnSuffix[] = ".";
inline constexpr char kDurationFormat[] = "%H:%M:%S.%f";

// The for-all values as the formula encoder takes them.
inline constexpr char kForallsText[] = "Foralls: {}";

// Other log lines.
inline constexpr char kBuildingTargetMsg[] = "Building target";
inline constexpr char kBuildingSoftMsg[] = "Building soft constraint: {}";
inline constexpr char kHardUtilityMsg[] = "Enumerating hard utility variables";
inline constexpr char kTargetUtilityMsg[] = "Enumerating target utility variables";
inline constexpr char kPreliminaryMsg[] = "Preliminary variable value was added: {}";
inline constexpr char kTargetAlreadyUsedMsg[] = "Target already used";

// Refusals of a family.
inline constexpr char kBadNameMsg[] = "Variable must have a non-empty name containing only letters";
inline constexpr char kVarInUseMsg[] = "Variable named {} is already in use";
inline constexpr char kVarKeywordMsg[] =
    "Variable named {} is a keyword and cannot name a variable";
inline constexpr char kVarNotReadBackMsg[] =
    "Variable named {} would not read back as the same name in a formula text";
inline constexpr char kVarShadowsMsg[] =
    "Variable named {} would hide a name that formula texts use";
inline constexpr char kVarIsIndexMsg[] = "Variable named {} is already in use as an index name";
inline constexpr char kLateVarMsg[] =
    "Variable named {} cannot be created after the first constraint or target: its numbers would "
    "overlap the auxiliary variables. Create every variable before adding formulas";
inline constexpr char kTooManyElementsMsg[] =
    "Variable named {} has too many elements: their numbers would run past 2147483647, the "
    "largest clause literal";
// Names that formula texts and the generated instantiation texts rely on, besides the host's.
inline constexpr const char *kShadowedNames[] = {"bx", "pb", "Sum", "FormulaPB", "manager"};

// Refusals of for-all keywords and their values.
inline constexpr char kForallNotIdentifierMsg[] =
    "For-all index named {} must be an identifier that is not a keyword and reads back unchanged";
inline constexpr char kForallShadowsMsg[] =
    "For-all index named {} would hide a name that formula texts use";
inline constexpr char kForallIsFamilyMsg[] =
    "For-all index named {} is the name of a variable family";
inline constexpr char kForallValuesTypeMsg[] =
    "For-all values of {} must be a range or a sequence of integers, not {}";
inline constexpr char kForallValueNotIntMsg[] = "For-all value {} of {} is not an integer";
inline constexpr char kForallTooLargeMsg[] = "For-all values of {} must fit in 64 bits";

// Refusals of an element's index (the index text, then the element).
inline constexpr char kNoForallMsg[] = "Index {} of {} has no for-all values in this formula";
inline constexpr char kUnreadableMsg[] = "Index {} of {} cannot be read as an index";
inline constexpr char kOutsideMsg[] =
    "Index {} of {} takes the value {}, outside the family: dimension {} has the values 0 .. {}";
inline constexpr char kOutsideAtMsg[] =
    "Index {} of {} takes the value {} (at {}), outside the family: dimension {} has the values "
    "0 .. {}";
inline constexpr char kIndexNotIntMsg[] =
    "Index {} of {} gives {} (at {}), which is not an integer";
inline constexpr char kAssignmentText[] = "{} = {}";
inline constexpr char kAssignmentSeparator[] = ", ";

// Refusals of a formula's numbering and weights.
inline constexpr char kTooManyInstancesMsg[] =
    "Too many for-all instances: the formula's clauses or auxiliary variables would be numbered "
    "past 2147483647, the largest clause literal";
inline constexpr char kWeightTooLargeMsg[] =
    "Soft constraint weight {} is too large: every weight, and all of them together, must stay "
    "below 2**63";
inline constexpr char kWeightTypeMsg[] = "Type 'Expression' or 'int' is expected for expression";
inline constexpr char kPreliminaryRangeMsg[] =
    "A preliminary value must name a variable of the model: a number from 1 to {}, not {}";

// Refusals of index names.
inline constexpr char kEmptyIndexesMsg[] =
    "The indexes parameter must contain a non-empty sequence of index names";
inline constexpr char kReservedIndexMsg[] =
    "Names '{}' and '{}' are reserved. Change the name to a valid one";
inline constexpr char kIndexInUseMsg[] = "Index named {} is already in use";
inline constexpr char kIndexNotIdentifierMsg[] =
    "Index named {} must be an identifier that is not a keyword";
inline constexpr char kIndexNotReadBackMsg[] =
    "Index named {} would not read back as the same name in a formula text";
inline constexpr char kIndexShadowsMsg[] =
    "Index named {} would hide a name that formula texts use";

// Refusals of formulas and builds.
inline constexpr char kNotExpressionMsg[] =
    "Variable 'constraint' must contain only objects of type 'Expression'";
inline constexpr char kTargetDefinedMsg[] = "Target has already been defined";
inline constexpr char kSoftDefinedMsg[] = "Soft constraint has already been defined";
inline constexpr char kAlreadyCnfMsg[] = "Current model already works with CNF";
inline constexpr char kAlreadyWcnfMsg[] = "Current model already works with WCNF";
inline constexpr char kNotSoftMsg[] = "Input constraint cannot be converted to a soft constraints";
inline constexpr char kNotTargetMsg[] = "Target is not a pseudo-boolean function without border";
inline constexpr char kNotBooleanMsg[] = "Constraint is not a Boolean formula: {}";
inline constexpr char kContradictionMsg[] = "Contradiction was detected in formula {}, line {}";
inline constexpr char kRedundantMsg[] = "Redundant constraint was detected in formula {}, line {}";
inline constexpr char kTargetContradictionMsg[] = "Contradiction was detected in target";
inline constexpr char kTargetRedundantMsg[] = "Redundant constraint was detected in target";
inline constexpr char kWcnfFormatMsg[] = "This expression is defined for WCNF format";
inline constexpr char kCnfFormatMsg[] = "This expression is defined for CNF format";
inline constexpr char kNoBorderMsg[] =
    "Border or minimization arguments are not defined, but target is set";
inline constexpr char kNoContainerMsg[] = "The model doesn't contain any formula container";
inline constexpr char kCnfEmptyMsg[] = "CNF storage is empty";
inline constexpr char kWcnfEmptyMsg[] = "WCNF storage is empty";
inline constexpr char kNoManagerMsg[] = "Sorn manager is not set or empty";
inline constexpr char kNoMappingMsg[] = "Variable mapping is empty";

}  // namespace zk::encode

// Joins the two halves of the collector: the operators' side (journal,
// hooks, retention, metrics, allowFrom) subscribes to the receive path's
// events and tasks, which knows nothing of it.
#pragma once

/*
 * Subscribes every part of the operators' side, in the order their work
 * must run. Call before the receive loop runs; calling again changes
 * nothing.
 */
void SalvorWireOperations();

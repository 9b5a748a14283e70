// A fixed table of records of function pointers, filled at start and
// walked by the receive path: the dumps' subscribers and the loop's tasks.
// Walking it allocates nothing and makes no system call.
#pragma once

template <typename Record, int Size>
struct SalvorHandlerTable {
   const Record *table[Size];
   int count;

   // Adds `record` once (again: nothing changes); false when full.
   bool Add(const Record *record)
   {
      for (int i = 0; i < count; i++) {
         if (table[i] == record) {
            return true;
         }
      }
      if (count == Size) {
         return false;
      }
      table[count++] = record;
      return true;
   }

   // Calls member `call` of every record that has one.
   template <typename Member, typename... Args>
   void Each(Member call, const Args &...args) const
   {
      for (int i = 0; i < count; i++) {
         if (table[i]->*call != nullptr) {
            (table[i]->*call)(args...);
         }
      }
   }

   // False as soon as a record's member `ask` says no.
   template <typename Member, typename... Args>
   bool All(Member ask, const Args &...args) const
   {
      for (int i = 0; i < count; i++) {
         if (table[i]->*ask != nullptr && !(table[i]->*ask)(args...)) {
            return false;
         }
      }
      return true;
   }
};

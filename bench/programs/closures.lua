-- Closures and functions taking functions: hand-written map, filter and fold.
local function make_adder(n)
  return function(x) return x + n end
end

local function map_list(f, items)
  local out = {}
  for i = 1, #items do out[#out + 1] = f(items[i]) end
  return out
end

local function filter_list(pred, items)
  local out = {}
  for i = 1, #items do
    if pred(items[i]) then out[#out + 1] = items[i] end
  end
  return out
end

local function fold(f, acc, items)
  for i = 1, #items do acc = f(acc, items[i]) end
  return acc
end

local function is_even(x) return x % 2 == 0 end
local function add(a, b) return a + b end

local data = {}
for i = 1, 1000 do data[i] = i end
local total = 0
for k = 1, 1200 do
  local add_k = make_adder(k)
  total = total + fold(add, 0, filter_list(is_even, map_list(add_k, data)))
end
print(total)

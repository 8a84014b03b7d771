-- Mutual recursion: is-even and is-odd call each other down to zero.
local is_odd

local function is_even(n)
  if n == 0 then return true end
  return is_odd(n - 1)
end

function is_odd(n)
  if n == 0 then return false end
  return is_even(n - 1)
end

local count = 0
for i = 0, 8999 do
  if is_even(i % 300) then count = count + 1 end
end
print(count)

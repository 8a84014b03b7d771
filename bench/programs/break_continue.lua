-- Loops left early: count primes below 200000 by trial division, with break and continue.
local count = 0
for n = 2, 199999 do
  if n > 2 and n % 2 == 0 then goto continue end
  local prime = true
  local d = 3
  while d * d <= n do
    if n % d == 0 then
      prime = false
      break
    end
    d = d + 2
  end
  if not prime then goto continue end
  count = count + 1
  ::continue::
end
print(count)
